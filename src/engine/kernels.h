// The whole-block loops of the block route, compiled once per instruction
// set level (the build's list of levels) from the same templates,
// with no contraction into fused multiply-adds, so every level gives the same
// bits. One level is chosen when the engine is loaded.
#pragma once

#include <cstdint>
#include <iterator>

#include "tarnex/builtins.h"
#include "tarnex/kernel_levels.h"
#include "tarnex/program.h"

namespace tarnex::detail {

// Which operands of a two-operand kernel are single values: VC reads *b as
// one value, CV reads *a. Others read whole arrays.
enum Form : uint32_t { VV = 0, VC = 1, CV = 2 };
constexpr uint32_t FORMS = 3;
constexpr uint32_t SEMANTICS = 2;

// Kernel numbers: every opcode's operation under both semantics in each
// form, then every built-in's, then fill and copy.
constexpr uint32_t operationKernel(Opcode opcode, Semantics semantics, Form form) {
    return (static_cast<uint32_t>(opcode) * SEMANTICS + static_cast<uint32_t>(semantics)) * FORMS + form;
}
constexpr uint32_t FIRST_BUILTIN_KERNEL = ALL_OPCODE_COUNT * SEMANTICS * FORMS;
constexpr uint32_t builtinKernel(BuiltinFunc id, Form form) {
    return FIRST_BUILTIN_KERNEL + static_cast<uint32_t>(id) * FORMS + form;
}
constexpr uint32_t FILL_KERNEL = FIRST_BUILTIN_KERNEL + BUILTIN_COUNT * FORMS;  // dst = *a
constexpr uint32_t COPY_KERNEL = FILL_KERNEL + 1;                               // dst = a

// The opcode and form of an operation kernel, for kernels below FIRST_BUILTIN_KERNEL.
constexpr Opcode opcodeOfKernel(uint32_t kernel) { return static_cast<Opcode>(kernel / (SEMANTICS * FORMS)); }
constexpr Form formOfKernel(uint32_t kernel) { return static_cast<Form>(kernel % FORMS); }

// Two arithmetic steps in one pass, the first one's result kept in a
// register: t = op1(a, b) in op1's form, then dst = op2(t, c) (T_V), op2(t,
// *c) (T_C), op2(c, t) (V_T) or op2(*c, t) (C_T). Each step still rounds on
// its own, so the bits are those of the two passes.
enum SecondForm : uint32_t { T_V = 0, T_C = 1, V_T = 2, C_T = 3 };
constexpr uint32_t SECOND_FORMS = 4;
constexpr Opcode FUSABLE[] = {Opcode::ADD,    Opcode::SUB,    Opcode::MUL,         Opcode::DIV,
                               Opcode::CMP_LT, Opcode::CMP_GT, Opcode::LOGICAL_AND, Opcode::LOGICAL_OR};
constexpr uint32_t FUSABLE_COUNT = std::size(FUSABLE);

// The position of `opcode` in FUSABLE, or FUSABLE_COUNT. An IEEE form
// (DIV_IEEE) shares the operation of its operator's first row, and so its
// fused kernels.
constexpr uint32_t fusableIndex(Opcode opcode) {
    const OpcodeInfo& info = opcodeInfo(opcode);
    if (info.kind == OpcodeKind::BINARY) opcode = opcodeForToken(info.token, info.kind, true);
    uint32_t i = 0;
    while (i < FUSABLE_COUNT && FUSABLE[i] != opcode) ++i;
    return i;
}

constexpr uint32_t FIRST_FUSED_KERNEL = COPY_KERNEL + 1;
constexpr uint32_t fusedKernel(uint32_t first, Form first_form, uint32_t second, SecondForm second_form) {
    return FIRST_FUSED_KERNEL + ((first * FUSABLE_COUNT + second) * FORMS + first_form) * SECOND_FORMS + second_form;
}
constexpr uint32_t KERNEL_COUNT = FIRST_FUSED_KERNEL + FUSABLE_COUNT * FUSABLE_COUNT * FORMS * SECOND_FORMS;

using Kernel = void (*)(uint64_t count, double* dst, const double* a, const double* b, const double* c);

struct KernelSet {
    const char* level;
    Kernel kernels[KERNEL_COUNT];  // null where no such kernel exists
    bool (*any_zero)(uint64_t count, const double* x);
    // to[r * to_row + j] = the double at from + r * row_step + j * column_step
    // (steps in bytes), for r < rows and j < columns: a tile of a value laid
    // out across the result's rows, such as a transposed matrix, or (rows 1)
    // a run of any strided value, broadcast ones included.
    void (*copy_tile)(int64_t rows, int64_t columns, const char* from, int64_t row_step, int64_t column_step,
                      double* to, int64_t to_row);
};

// One set per level of the build's list, defined by kernels.cpp compiled
// for that level.
#define TARNEX_KERNELS_OF(name, upper, check) const KernelSet& name##Kernels();
TARNEX_KERNEL_LEVELS(TARNEX_KERNELS_OF)
#undef TARNEX_KERNELS_OF

// The set this process uses: the best level the CPU supports, chosen once.
const KernelSet& activeKernels();

}  // namespace tarnex::detail
