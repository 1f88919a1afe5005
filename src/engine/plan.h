// How the engine runs one program, decided once when the program is planned
// and only read afterwards, by any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarnex/engine.h"
#include "tarnex/program.h"

namespace tarnex {

// Block: a list of whole-block steps. Masked: the jump code a block at a
// time under per-element masks. Elements: the per-element evaluator.
// Malformed: code no compiler produces and no route can run safely.
enum class Route : uint8_t { BLOCK, MASKED, ELEMENTS, MALFORMED };

// Where a step reads or writes, relative to the block or tile being run.
struct Operand {
    enum Kind : uint8_t { NONE, INPUT, SLOT, VALUE, OUT };
    Kind kind = NONE;
    uint32_t index = 0;  // INPUT: variable; SLOT: slot number; VALUE: index into Plan::values

    bool operator==(const Operand&) const = default;
};

// Whether a step first looks for a zero divisor in operand b.
enum class ZeroCheck : uint8_t { NONE, SCAN, ALWAYS_FAILS };

// One kernel call over a block: dst = operation(a, b, c). Kept small: a
// long text has a step for every few bytes.
struct Step {
    uint16_t kernel;  // see kernels.h
    ZeroCheck check = ZeroCheck::NONE;
    Operand dst, a, b, c;
};
static_assert(sizeof(Step) == 36);

// What the masked route needs to size its workspace.
struct MaskedShape {
    uint32_t max_depth = 0;
    uint32_t max_waiting = 0;  // paths waiting at jump targets at once
    size_t end = 0;            // index of the RETURN
};

struct Plan {
    Route route = Route::ELEMENTS;
    // The program's code with its cheap, safe &&, || and ?: as whole-block
    // operations (see makeBlockCode); empty when there is no such code.
    std::vector<Instruction> block_code;
    bool block_code_jumps = false;  // some of them keep their jumps
    // BLOCK: the steps, their constants and slot count. A program with a
    // zero check `can_fail`: a failing block must report what a check of
    // the whole block reports and leave `out` untouched.
    std::vector<Step> steps;
    std::vector<double> values;
    uint32_t slots = 0;
    bool can_fail = false;
    // Block steps made from code that jumps: a zero divisor hands the block
    // to the per-element route, which fails at the right element.
    bool errors_per_element = false;
    // MASKED: the code it walks (the block code where that still jumps,
    // else the program's code) and its shape.
    bool masked_block_code = false;
    MaskedShape shape;
    // No element can fail (there is no / or %), so where the blocks are cut
    // changes nothing a caller sees: the driver may cut them evenly.
    bool any_layout = false;
    // What one element costs on one core, and whether a caller that cuts
    // the elements into slices must cut at block boundaries.
    ElementCost cost;
    // The variables the code reads: the per-element route gathers only
    // these, and callers need supply no data for the others.
    std::vector<uint32_t> read_variables;
};

namespace detail {
// The program's code, which jumps and walks without fault, with its cheap, safe &&, || and ?: as
// whole-block operations, sharing its constants; empty when none qualifies.
std::vector<Instruction> makeBlockCode(const Program& program);
// The message of a step whose check finds a zero divisor.
const char* zeroDivisorError(const Step& step);
// Fills the block route's part of `plan` (steps, values, slots, can_fail)
// from `code`, which must not jump; false when the route cannot run it
// (compiled code without jumps it always can). `semantics`: ELEMENT for
// the block code of a program whose code jumps.
bool buildSteps(const Program& program, const std::vector<Instruction>& code, Semantics semantics, Plan& plan);
// Fills the masked route's part of `plan` for `program` (the plan's block
// code where that still jumps, else the program's code); false when the
// route declines it.
bool planMaskedRoute(const Program& program, Plan& plan);
// The masked route over one block; false when a zero divisor is met on an
// element's path (the per-element route then raises the error).
bool runMasked(const Program& program, const Plan& plan, uint64_t count, double* out, const double* const* inputs);
// The per-element route, gathering only `variables`.
void runElements(const Program& program, const std::vector<uint32_t>& variables, uint64_t count, double* out,
                 const double* const* inputs);
}  // namespace detail

}  // namespace tarnex
