#include "evaluation.h"

#include <algorithm>
#include <optional>
#include <string>

#include "cache.h"
#include "errors.h"
#include "interpreter_lock.h"
#include "tarnex/engine.h"

namespace qelto {
namespace {

// Compiling touches no Python object, so a long text is compiled with the
// interpreter lock released. From this length on a compilation takes half a
// millisecond or more (about 30 ns a byte, `make bench`), a tenth of the
// interpreter's switch interval; shorter texts keep the lock, since taking
// it back from busy threads can cost more than compiling them.
constexpr size_t RELEASE_LOCK_MIN_TEXT = 16 * 1024;

tarnex::Program compileLettingThreadsRun(std::string_view text, const std::vector<std::string_view>& names) {
    if (text.size() < RELEASE_LOCK_MIN_TEXT) return tarnex::compile(text, names);
    std::optional<tarnex::Program> program;
    runWithoutLock([&] { program.emplace(tarnex::compile(text, names)); });
    return std::move(*program);
}

// Between two slices the call takes the interpreter lock back just long
// enough to let Python run its signal handlers. A slice is about this much
// work for each thread of the team, by the plan's estimate of an element's
// cost.
constexpr double SLICE_NANOSECONDS = 20e6;

struct Slicing {
    int64_t elements;
    int64_t block_size;
};

// Programs that fail whole blocks are cut into whole blocks, at least one
// per thread (a slice lasts a block's time anyway); the others anywhere, in
// one block per thread, so that a costly program's short slice keeps the
// team busy.
Slicing slicingFor(const tarnex::ElementCost& cost, int64_t n) {
    const int64_t threads = tarnex::threadCount();
    const double elements = std::min(SLICE_NANOSECONDS * static_cast<double>(threads) / cost.nanoseconds,
                                     static_cast<double>(n));
    if (cost.whole_blocks) {
        const int64_t blocks = std::max(threads, static_cast<int64_t>(elements) / tarnex::BLOCK_SIZE);
        return {blocks * tarnex::BLOCK_SIZE, tarnex::BLOCK_SIZE};
    }
    const int64_t slice = std::max<int64_t>(1, static_cast<int64_t>(elements));
    return {slice, std::min(tarnex::BLOCK_SIZE, (slice + threads - 1) / threads)};
}

void evaluateSlice(const tarnex::PreparedProgram& program, const tarnex::InputLayout& inputs, int64_t first,
                   int64_t n, const int64_t& block_size, double* out) {
    runWithoutLock([&] { tarnex::evaluateParallel(inputs, first, n, block_size, out, program); });
}

}  // namespace

std::shared_ptr<const tarnex::PreparedProgram> compiled(std::string_view expr, const std::vector<std::string_view>& names) {
    try {
        static tarnex::ProgramCache cache;
        if (auto found = cache.find(expr, names)) return found;
        return cache.insert(expr, names, tarnex::prepare(compileLettingThreadsRun(expr, names)));
    } catch (const std::exception& e) {
        throw QueryError("Expression failed to compile: " + std::string(expr) + " \u2014 " + e.what());
    }
}

void evaluateInterruptibly(const tarnex::PreparedProgram& program, const tarnex::InputLayout& inputs,
                           double* out) {
    const int64_t n = inputs.elementCount();
    const tarnex::ElementCost& cost = program.cost();
    if (static_cast<double>(n) * cost.nanoseconds <= SLICE_NANOSECONDS)
        return evaluateSlice(program, inputs, 0, n, tarnex::BLOCK_SIZE, out);
    const Slicing slicing = slicingFor(cost, n);
    if (slicing.elements >= n) return evaluateSlice(program, inputs, 0, n, tarnex::BLOCK_SIZE, out);
    for (int64_t start = 0; start < n; start += slicing.elements) {
        if (start > 0 && PyErr_CheckSignals() != 0) throw PythonError();
        evaluateSlice(program, inputs, start, std::min(slicing.elements, n - start), slicing.block_size, out);
    }
}

}  // namespace qelto
