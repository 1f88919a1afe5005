#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

#include <omp.h>

#include "tarnex/engine.h"

#include "fork_safety.h"
#include "plan.h"

namespace tarnex {
namespace {

thread_local std::vector<const double*> block_inputs;

std::atomic<int> thread_count_setting{0};

// The one place that decides whether a thread team is opened.
bool useThreadTeam(const PreparedProgram& program, int64_t n) {
    return n >= program.plan().team_min_elements && parallelRegionsAllowed();
}

// An exception leaving a worker thread ends the process, so each thread parks
// its error here. The error of the block that starts first is kept, and is
// raised again on the calling thread: blocks after a failed one need not
// run, blocks before it always do, so the same input gives the same message
// whatever the number of threads and their timing.
class LowestError {
public:
    void capture(int64_t start) noexcept {
#pragma omp critical(tarnex_lowest_error)
        {
            if (start < failed_at_.load(std::memory_order_relaxed)) {
                error_ = std::current_exception();
                failed_at_.store(start, std::memory_order_relaxed);
            }
        }
    }

    // Whether the block at `start` cannot change the outcome any more.
    bool skips(int64_t start) const noexcept { return start > failed_at_.load(std::memory_order_relaxed); }

    void rethrowIfAny() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::exception_ptr error_;
    std::atomic<int64_t> failed_at_{std::numeric_limits<int64_t>::max()};
};

void runBlock(const PreparedProgram& program, const InputLayout& layout, int64_t start, int64_t length, double* out,
              const double** inputs) {
    layout.load(start, length, inputs);
    evaluateBlock(program, static_cast<uint64_t>(length), out + start, layout.inputCount() == 0 ? nullptr : inputs);
}

// Up to this many variables the calling thread keeps its block's input
// pointers on its stack, sparing a thread-local lookup per call.
constexpr uint64_t LOCAL_INPUTS = 16;

// The calling thread alone, outside OpenMP: even a region whose if clause is
// false costs about 0.4 us of team set-up and barrier wake-ups, a third of a
// small call, and a forked child must not enter the runtime at all.
void evaluateOnCallingThread(const InputLayout& layout, int64_t first, int64_t end, int64_t step, double* out,
                             const PreparedProgram& program) {
    const uint64_t var_count = layout.inputCount();
    const double* local[LOCAL_INPUTS];
    const double** inputs = local;
    if (var_count > LOCAL_INPUTS) {
        if (block_inputs.size() < var_count) block_inputs.resize(var_count);
        inputs = block_inputs.data();
    }
    for (int64_t start = first; start < end; start += step)
        runBlock(program, layout, start, std::min(end - start, step), out, inputs);
}

// Whole blocks leave a team unevenly loaded: 10,000 elements are two blocks
// for one thread and a short one for the other. Where the program lets the
// blocks be cut anywhere, each thread instead gets the same number of equal
// blocks, whole tiles long and never longer than `block_size`.
constexpr int64_t EVEN_BLOCK_GRAIN = 256;

int64_t teamBlockSize(const PreparedProgram& program, int64_t n, int64_t block_size, int64_t threads) {
    if (!program.plan().any_layout) return block_size;
    const int64_t rounds = (n + threads * block_size - 1) / (threads * block_size);
    const int64_t even = (n + threads * rounds - 1) / (threads * rounds);
    return std::min(block_size, (even + EVEN_BLOCK_GRAIN - 1) / EVEN_BLOCK_GRAIN * EVEN_BLOCK_GRAIN);
}

}  // namespace

void setThreadCount(int count) {
    if (count < 0 || count > MAX_THREAD_COUNT)
        throw std::invalid_argument("thread count must be from 0 to " + std::to_string(MAX_THREAD_COUNT) + " (got " +
                                    std::to_string(count) + ")");
    thread_count_setting.store(count, std::memory_order_relaxed);
}

int threadCountSetting() { return thread_count_setting.load(std::memory_order_relaxed); }

int threadCount() {
    if (!parallelRegionsAllowed()) return 1;
    const int setting = threadCountSetting();
    return setting != 0 ? setting : std::max(1, omp_get_max_threads());
}

void evaluateParallel(uint64_t var_count, const int64_t& block_size, double* out,
                      const PreparedProgram& program, int64_t n,
                      const std::vector<const double*>& input_data) {
    const InputLayout layout(n, std::span(input_data.data(), var_count));
    evaluateParallel(layout, 0, n, block_size, out, program);
}

void evaluateParallel(const InputLayout& layout, int64_t first, int64_t n, const int64_t& block_size, double* out,
                      const PreparedProgram& code) {
    const uint64_t var_count = layout.inputCount();
    const int64_t end = first + n;
    const bool team = useThreadTeam(code, n);
    if (!team) return evaluateOnCallingThread(layout, first, end, block_size, out, code);
    const int threads = threadCount();
    const int64_t step = teamBlockSize(code, n, block_size, threads);
    LowestError error;
#pragma omp parallel if (team) num_threads(threads)
    {
        bool ready = true;
        try {
            if (block_inputs.size() < var_count) block_inputs.resize(var_count);
        } catch (...) {
            error.capture(-1);  // before every block: no thread can do better
            ready = false;
        }
#pragma omp for schedule(static)
        for (int64_t start = first; start < end; start += step) {
            if (!ready || error.skips(start)) continue;
            try {
                runBlock(code, layout, start, std::min(end - start, step), out, block_inputs.data());
            } catch (...) {
                error.capture(start);
            }
        }
    }
    error.rethrowIfAny();
}

}  // namespace tarnex
