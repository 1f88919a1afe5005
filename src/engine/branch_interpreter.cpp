// Programs with jumps, a block at a time. The code is walked once, in index
// order, with every instruction run over the whole block. A path is the set
// of elements that took the same way through the code so far: a mask over
// the block and its own stack of entry pointers. A conditional jump splits
// the current path; a path that jumps waits at its target and is joined with
// whatever arrives there. Jumps only go forward, so when the walk reaches an
// instruction, every path leading to it has arrived.
//
// Paths share the slot buffers: an element's value lives in the slot of its
// stack position, and a path that does not hold the whole block writes only
// its own elements (a blend). Computing an operation for elements off the
// path is harmless, as every operation is pure, except for the zero divisor
// check: it looks only at elements on the path, and when one fails the block
// goes back to the per-element route, which raises the error exactly as
// element-by-element evaluation does.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "tarnex/numeric.h"

#include "block_loops.h"
#include "kernels.h"
#include "masked_loops.h"
#include "plan.h"

namespace tarnex {
namespace {

using detail::reserved;

using namespace detail::masked;

// ---- The machine

struct Path {
    Mask* on;
    const double** stack;
    uint64_t active;  // elements on the path
    uint32_t depth;
    size_t target;  // where it waits
};

// Per thread; grows and never shrinks. Buffers are uninitialised, like the
// block interpreter's scratch, so only what a program touches is resident.
struct Workspace {
    std::unique_ptr<double[]> slots;
    uint64_t slot_capacity = 0;
    std::unique_ptr<Mask[]> masks;
    uint64_t mask_capacity = 0;
    std::vector<const double*> stacks;
    std::vector<Path> paths;
    std::vector<Path*> free_paths;
    std::vector<Path*> waiting;  // the nearest target last
};

thread_local Workspace workspace;

// Slots and masks for chunks of `chunk` elements, paths to carry them.
void prepare(Workspace& ws, const MaskedShape& shape, uint64_t chunk) {
    uint32_t depth = std::max(shape.max_depth, 1u);
    uint32_t path_count = shape.max_waiting + 2;  // the current path and a split-off one
    reserved(ws.slots, ws.slot_capacity, uint64_t{depth} * chunk);
    Mask* masks = reserved(ws.masks, ws.mask_capacity, uint64_t{path_count} * chunk);
    ws.stacks.resize(std::max<size_t>(ws.stacks.size(), size_t{path_count} * depth));
    ws.paths.resize(path_count);
    ws.free_paths.reserve(path_count);  // no allocation while a block runs
    ws.waiting.reserve(path_count);
    for (uint32_t p = 0; p < path_count; ++p) {
        ws.paths[p].on = masks + p * chunk;
        ws.paths[p].stack = ws.stacks.data() + size_t{p} * depth;
    }
}

class MaskedMachine {
public:
    MaskedMachine(const Program& program, const std::vector<Instruction>& code, Workspace& ws,
                  const double* const* inputs)
        : program_(program),
          code_(code),
          ws_(ws),
          kernels_(detail::activeKernels()),
          inputs_(inputs),
          slots_(ws.slots.get()) {}

    // Evaluates elements [offset, offset + count); false when a zero divisor
    // is met on a path, with nothing written.
    bool run(uint64_t offset, uint64_t count, double* out);

private:
    double* slot(uint32_t position) const { return slots_ + position * count_; }
    bool whole() const { return current_->active == count_; }

    Path* takePath();
    void dropPath(Path* path) { ws_.free_paths.push_back(path); }
    void join(Path* into, Path* from);
    void sendTo(size_t target, Path* path);
    void arriveAt(size_t index);
    void jumpIfFalse(size_t target);
    void jump(size_t target);
    bool finish(double* out) const;
    bool execute(Instruction ins, size_t index);
    bool operate(Opcode opcode);

    void pushConstant(uint32_t index);
    void pushInput(uint32_t index) { current_->stack[current_->depth++] = inputs_[index] + offset_; }
    template <class Op>
    void binaryAt(uint32_t kernel, uint32_t position, const double* b);
    template <class Op>
    void binary(uint32_t kernel);
    template <class Op>
    void unaryAt(uint32_t kernel, uint32_t position);
    template <class Op>
    void ternary(uint32_t kernel);
    void callBuiltin(uint32_t operand);
    struct CallSteps;

    const Program& program_;
    const std::vector<Instruction>& code_;
    Workspace& ws_;
    const detail::KernelSet& kernels_;  // the block route's loops, for paths that hold the whole block
    const double* const* inputs_;
    double* slots_;
    uint64_t offset_ = 0;
    uint64_t count_ = 0;
    Path* current_ = nullptr;  // null while no element is on the fall-through path
};

Path* MaskedMachine::takePath() {
    Path* path = ws_.free_paths.back();
    ws_.free_paths.pop_back();
    return path;
}

// A stack position where the two paths point at different arrays becomes
// that position's slot, holding each element's value from its own path.
void MaskedMachine::join(Path* into, Path* from) {
    for (uint32_t k = 0; k < into->depth; ++k) {
        if (into->stack[k] == from->stack[k]) continue;
        joinLoop(count_, slot(k), from->on, from->stack[k], into->on, into->stack[k]);
        into->stack[k] = slot(k);
    }
    unionLoop(count_, into->on, from->on);
    into->active += from->active;
    dropPath(from);
}

void MaskedMachine::sendTo(size_t target, Path* path) {
    auto place = std::find_if(ws_.waiting.begin(), ws_.waiting.end(), [&](const Path* p) { return p->target <= target; });
    if (place != ws_.waiting.end() && (*place)->target == target) return join(*place, path);
    path->target = target;
    ws_.waiting.insert(place, path);
}

void MaskedMachine::arriveAt(size_t index) {
    if (ws_.waiting.empty() || ws_.waiting.back()->target != index) return;
    Path* arriving = ws_.waiting.back();
    ws_.waiting.pop_back();
    if (current_ == nullptr) {
        current_ = arriving;
    } else {
        join(current_, arriving);
    }
}

void MaskedMachine::jumpIfFalse(size_t target) {
    const double* condition = current_->stack[--current_->depth];
    Path* leaving = takePath();
    uint64_t moved = splitLoop(count_, current_->on, leaving->on, condition);
    if (moved == 0) return dropPath(leaving);
    if (moved == current_->active) {
        std::swap(current_->on, leaving->on);  // the whole path goes, mask and all
        dropPath(leaving);
        return jump(target);
    }
    leaving->active = moved;
    current_->active -= moved;
    leaving->depth = current_->depth;
    std::copy(current_->stack, current_->stack + current_->depth, leaving->stack);
    sendTo(target, leaving);
}

void MaskedMachine::jump(size_t target) {
    sendTo(target, current_);
    current_ = nullptr;
}

void MaskedMachine::pushConstant(uint32_t index) {
    uint32_t position = current_->depth++;
    double value = program_.constants[index];
    if (whole()) {
        kernels_.kernels[detail::FILL_KERNEL](count_, slot(position), &value, nullptr, nullptr);
    } else {
        maskedFillLoop(count_, current_->on, slot(position), value);
    }
    current_->stack[position] = slot(position);
}

template <class Op>
void MaskedMachine::binaryAt(uint32_t kernel, uint32_t position, const double* b) {
    double* dst = slot(position);
    if (whole()) {
        kernels_.kernels[kernel](count_, dst, current_->stack[position], b, nullptr);
    } else {
        maskedBinaryLoop<Op>(count_, current_->on, dst, current_->stack[position], b);
    }
    current_->stack[position] = dst;
}

template <class Op>
void MaskedMachine::binary(uint32_t kernel) {
    const double* b = current_->stack[--current_->depth];
    binaryAt<Op>(kernel, current_->depth - 1, b);
}

template <class Op>
void MaskedMachine::unaryAt(uint32_t kernel, uint32_t position) {
    double* dst = slot(position);
    if (whole()) {
        kernels_.kernels[kernel](count_, dst, current_->stack[position], nullptr, nullptr);
    } else {
        maskedUnaryLoop<Op>(count_, current_->on, dst, current_->stack[position]);
    }
    current_->stack[position] = dst;
}

// A call's steps on its argument positions (see applyBuiltin).
struct MaskedMachine::CallSteps {
    MaskedMachine& machine;
    uint32_t kernel, position;
    template <class Op>
    void unary(uint32_t k) {
        machine.unaryAt<Op>(kernel, position + k);
    }
    template <class Op>
    void binary(uint32_t k, uint32_t j) {
        machine.binaryAt<Op>(kernel, position + k, machine.current_->stack[position + j]);
    }
};

// As in the block interpreter: the arguments stay in place, the result takes
// argument 0's position, and min or max of one argument is that argument.
void MaskedMachine::callBuiltin(uint32_t operand) {
    const auto [number, argc] = decodeCall(operand);
    const auto id = static_cast<BuiltinFunc>(number);
    current_->depth -= argc - 1;
    applyBuiltin(id, argc, CallSteps{*this, detail::builtinKernel(id, detail::VV), current_->depth - 1});
}

// The selected value is a blend of whole arrays, which is exact.
template <class Op>
void MaskedMachine::ternary(uint32_t kernel) {
    current_->depth -= 2;
    uint32_t position = current_->depth - 1;
    double* dst = slot(position);
    const double* const* args = current_->stack + position;
    if (whole()) {
        kernels_.kernels[kernel](count_, dst, args[0], args[1], args[2]);
    } else {
        const Mask* on = current_->on;
        for (uint64_t i = 0; i < count_; ++i) dst[i] = select(on[i], Op::apply(args[0][i], args[1][i], args[2][i]), dst[i]);
    }
    current_->stack[position] = dst;
}

bool MaskedMachine::execute(Instruction ins, size_t index) {
    auto opcode = static_cast<Opcode>(ins.opcode);
    switch (opcodeInfo(opcode).kind) {
        case OpcodeKind::PUSH: pushConstant(ins.operand); break;
        case OpcodeKind::LOAD: pushInput(ins.operand); break;
        case OpcodeKind::JUMP_IF_FALSE: jumpIfFalse(index + ins.operand); break;
        case OpcodeKind::JUMP: jump(index + ins.operand); break;
        case OpcodeKind::CALL: callBuiltin(ins.operand); break;
        case OpcodeKind::RETURN: break;  // ends run()
        case OpcodeKind::UNARY:
        case OpcodeKind::BINARY:
        case OpcodeKind::TERNARY: return operate(opcode);
    }
    return true;
}

// False when a divisor on the path is zero: the block then goes element by
// element, which raises the error for the right element.
bool MaskedMachine::operate(Opcode opcode) {
    if (opcodeInfo(opcode).zero_divisor_error != nullptr) {
        const double* b = current_->stack[current_->depth - 1];
        if (whole() ? kernels_.any_zero(count_, b) : anyZeroOnPath(count_, current_->on, b)) return false;
    }
    const uint32_t kernel = detail::operationKernel(opcode, Semantics::ELEMENT, detail::VV);
    visitOperation<Semantics::ELEMENT>(opcode, [&](auto operation) {
        using Op = decltype(operation);
        if constexpr (op::arity<Op> == 1) {
            unaryAt<Op>(kernel, current_->depth - 1);
        } else if constexpr (op::arity<Op> == 2) {
            binary<Op>(kernel);
        } else if constexpr (op::arity<Op> == 3) {
            ternary<Op>(kernel);
        }
    });
    return true;
}

// The shape check saw to it that every path has arrived by RETURN.
bool MaskedMachine::finish(double* out) const {
    if (current_ == nullptr || current_->active != count_ || current_->depth == 0) return false;
    kernels_.kernels[detail::COPY_KERNEL](count_, out, current_->stack[current_->depth - 1], nullptr, nullptr);
    return true;
}

bool MaskedMachine::run(uint64_t offset, uint64_t count, double* out) {
    offset_ = offset;
    count_ = count;
    ws_.waiting.clear();
    ws_.free_paths.clear();
    for (Path& path : ws_.paths) ws_.free_paths.push_back(&path);
    current_ = takePath();
    std::fill(current_->on, current_->on + count_, ~Mask{0});
    current_->active = count_;
    current_->depth = 0;
    const std::vector<Instruction>& code = code_;
    for (size_t index = 0;;) {
        arriveAt(index);
        if (current_ == nullptr) {
            if (ws_.waiting.empty()) return false;
            index = ws_.waiting.back()->target;  // nothing runs until then
            continue;
        }
        Instruction ins = code[index];
        if (ins.opcode == static_cast<uint32_t>(Opcode::RETURN)) return finish(out);
        if (!execute(ins, index)) return false;
        ++index;
    }
}

}  // namespace

namespace detail {

// Blocks longer than BLOCK_SIZE go in chunks, so the workspace stays within
// the size the driver's blocks need.
bool runMasked(const Program& program, const Plan& plan, uint64_t count, double* out, const double* const* inputs) {
    Workspace& ws = workspace;  // one thread-local lookup
    const uint64_t chunk = std::min<uint64_t>(count, BLOCK_SIZE);
    prepare(ws, plan.shape, chunk);
    MaskedMachine machine(program, plan.masked_block_code ? plan.block_code : program.code, ws, inputs);
    for (uint64_t offset = 0; offset < count; offset += chunk)
        if (!machine.run(offset, std::min(chunk, count - offset), out + offset)) return false;
    return true;
}

// A program planned for another route is asked whether the masked route
// would take it.
bool evaluateMasked(const PreparedProgram& prepared, uint64_t count, double* out, const double* const* inputs) {
    const Program& program = prepared.program();
    if (prepared.plan().route == Route::MASKED) return runMasked(program, prepared.plan(), count, out, inputs);
    Plan plan;
    plan.block_code = prepared.plan().block_code;
    plan.block_code_jumps = prepared.plan().block_code_jumps;
    return planMaskedRoute(program, plan) && runMasked(program, plan, count, out, inputs);
}

}  // namespace detail
}  // namespace tarnex
