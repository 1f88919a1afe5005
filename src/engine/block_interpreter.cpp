#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "tarnex/engine.h"

#include "block_loops.h"
#include "kernels.h"
#include "plan.h"

namespace tarnex {
namespace {

// Elements a step works through at once: the slots of a tile and the
// tile's inputs stay in the first-level cache, and the call per step is
// still shared by a few hundred elements (256 measured best against 128 to
// 2048 on AVX-512).
constexpr uint64_t TILE = 256;

// Uninitialised on purpose: a slot buffer becomes resident only once a
// program writes to it. `staging` holds the results of a block that may
// still fail, so nothing of a failing block reaches `out`.
struct Scratch {
    std::unique_ptr<double[]> slots;
    uint64_t size = 0;
    std::unique_ptr<double[]> staging;
    uint64_t staging_size = 0;
};
thread_local Scratch scratch;

double* scratchFor(Scratch& mine, uint32_t slots, uint64_t count) {
    if (slots != 0 && count > std::numeric_limits<uint64_t>::max() / sizeof(double) / slots) throw std::bad_alloc();
    return detail::reserved(mine.slots, mine.size, uint64_t{slots} * count);
}

class StepRunner {
public:
    StepRunner(const Plan& plan, double* out, const double* const* inputs)
        : plan_(plan), kernels_(detail::activeKernels()), out_(out), inputs_(inputs) {}

    // Returns the message of a zero divisor met, or nullptr. A program that
    // can fail runs in tiles into staging, and `out` receives the block once
    // all of it has passed; on a failure the block runs again whole, step by
    // step over all of it, which finds the message a whole-block check gives.
    const char* run(uint64_t count) {
        Scratch& mine = scratch;  // one thread-local lookup
        if (!plan_.can_fail) return runTiles(mine, count, std::min(count, TILE));
        double* out = out_;
        out_ = detail::reserved(mine.staging, mine.staging_size, count);
        const char* error = runTiles(mine, count, std::min(count, TILE));
        if (error != nullptr) error = runTiles(mine, count, count);
        if (error == nullptr) kernels_.kernels[detail::COPY_KERNEL](count, out, out_, nullptr, nullptr);
        return error;
    }

private:
    const char* runTiles(Scratch& mine, uint64_t count, uint64_t tile) {
        slots_ = scratchFor(mine, plan_.slots, tile);
        tile_ = tile;
        for (start_ = 0; start_ < count; start_ += tile)
            if (const char* error = runTile(std::min(tile, count - start_))) return error;
        return nullptr;
    }

    const double* source(const Operand& operand) const {
        switch (operand.kind) {
            case Operand::INPUT: return inputs_[operand.index] + start_;
            case Operand::VALUE: return &plan_.values[operand.index];
            case Operand::SLOT:
            case Operand::OUT: return target(operand);
            case Operand::NONE: break;
        }
        return nullptr;
    }

    double* target(const Operand& operand) const {
        return operand.kind == Operand::OUT ? out_ + start_ : slots_ + operand.index * tile_;
    }

    const char* runTile(uint64_t count) {
        for (const Step& step : plan_.steps) {
            if (step.check != ZeroCheck::NONE &&
                (step.check == ZeroCheck::ALWAYS_FAILS || kernels_.any_zero(count, source(step.b))))
                return detail::zeroDivisorError(step);
            kernels_.kernels[step.kernel](count, target(step.dst), source(step.a), source(step.b), source(step.c));
        }
        return nullptr;
    }

    const Plan& plan_;
    const detail::KernelSet& kernels_;
    double* out_;
    const double* const* inputs_;
    double* slots_ = nullptr;
    uint64_t tile_ = 0;
    uint64_t start_ = 0;
};

}  // namespace

// The three routes, side by side: block steps; the masked route, which hands
// a block with a zero divisor on some element's path to the per-element
// route so that the right element raises the right error; element by element.
void evaluateBlock(const PreparedProgram& prepared, uint64_t count, double* out, const double* const* inputs) {
    if (count == 0) return;
    const Program& program = prepared.program();
    const Plan& plan = prepared.plan();
    switch (plan.route) {
        case Route::BLOCK: {
            const char* error = StepRunner(plan, out, inputs).run(count);
            if (error == nullptr) return;
            if (!plan.errors_per_element) throw std::runtime_error(error);
            return detail::runElements(program, plan.read_variables, count, out, inputs);
        }
        case Route::MASKED:
            if (detail::runMasked(program, plan, count, out, inputs)) return;
            return detail::runElements(program, plan.read_variables, count, out, inputs);
        case Route::ELEMENTS: return detail::runElements(program, plan.read_variables, count, out, inputs);
        case Route::MALFORMED: break;
    }
    throw std::logic_error("malformed program");
}

}  // namespace tarnex
