#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

#include <omp.h>

#include "tarnex/engine.h"

#include "fork_safety.h"
#include "plan.h"
#include "worker_pool.h"

namespace tarnex {
namespace {

thread_local std::vector<const double*> block_inputs;

std::atomic<int> thread_count_setting{0};

// Whole blocks leave a team unevenly loaded: 10,000 elements are two blocks
// for one thread and a short one for the other. Where the program lets the
// blocks be cut anywhere, the team instead shares equal pieces, whole tiles
// long and never longer than `block_size`, a few per thread, so that a
// thread the kernel holds back leaves little for the others to wait on.
constexpr int64_t EVEN_BLOCK_GRAIN = 256;
constexpr int64_t PIECES_PER_THREAD = 4;

// The one place that decides whether a thread team is opened: where the
// plan's estimate of the work pays for waking the team many times over, or
// for a team already awake or in a loop of calls that keeps it awake, and
// the work makes two pieces at least.
bool useThreadTeam(const PreparedProgram& program, int64_t n) {
    const int64_t fewest = program.plan().any_layout ? 2 * EVEN_BLOCK_GRAIN : PARALLEL_MIN_ELEMENTS;
    if (n < fewest) return false;
    const double work = static_cast<double>(n) * program.cost().nanoseconds;
    if (work < TEAM_MIN_WORK_AWAKE_NANOSECONDS) return false;
    return (work >= TEAM_MIN_WORK_NANOSECONDS || detail::helpersWanted()) && teamsAllowed();
}

// An exception leaving a helper thread ends the process, so each thread parks
// its error here. The error of the block that starts first is kept, and is
// raised again on the calling thread: in whatever order the blocks are
// claimed, blocks after a failed one need not run and blocks before it
// always do, so the same input gives the same message whatever the number of
// threads and their timing.
class LowestError {
public:
    void capture(int64_t start) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (start < failed_at_.load(std::memory_order_relaxed)) {
            error_ = std::current_exception();
            failed_at_.store(start, std::memory_order_relaxed);
        }
    }

    // Whether the block at `start` cannot change the outcome any more.
    bool skips(int64_t start) const noexcept { return start > failed_at_.load(std::memory_order_relaxed); }

    void rethrowIfAny() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::mutex mutex_;
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

// The calling thread alone: no helper is woken or waited for.
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

int64_t teamBlockSize(const PreparedProgram& program, int64_t n, int64_t block_size, int64_t threads) {
    if (!program.plan().any_layout) return block_size;
    const int64_t pieces = threads * PIECES_PER_THREAD;
    const int64_t rounds = (n + pieces * block_size - 1) / (pieces * block_size);
    const int64_t even = (n + pieces * rounds - 1) / (pieces * rounds);
    return std::min(block_size, (even + EVEN_BLOCK_GRAIN - 1) / EVEN_BLOCK_GRAIN * EVEN_BLOCK_GRAIN);
}

// The blocks of one evaluation, [first, end), as the pool runs them on any
// thread.
class TeamJob final : public detail::BlockJob {
public:
    TeamJob(const PreparedProgram& program, const InputLayout& layout, int64_t first, int64_t end, int64_t step, double* out)
        : program_(program), layout_(layout), first_(first), end_(end), step_(step), out_(out) {}

    void run(int64_t block) noexcept override {
        const int64_t start = first_ + block * step_;
        if (error_.skips(start)) return;
        try {
            const uint64_t var_count = layout_.inputCount();
            if (block_inputs.size() < var_count) block_inputs.resize(var_count);
            runBlock(program_, layout_, start, std::min(end_ - start, step_), out_, block_inputs.data());
        } catch (...) {
            error_.capture(start);
        }
    }

    void rethrowIfAny() const { error_.rethrowIfAny(); }

private:
    const PreparedProgram& program_;
    const InputLayout& layout_;
    int64_t first_, end_, step_;
    double* out_;
    LowestError error_;
};

}  // namespace

bool detail::opensThreadTeam(const PreparedProgram& program, int64_t n) { return useThreadTeam(program, n); }

void setThreadCount(int count) {
    if (count < 0 || count > MAX_THREAD_COUNT)
        throw std::invalid_argument("thread count must be from 0 to " + std::to_string(MAX_THREAD_COUNT) + " (got " +
                                    std::to_string(count) + ")");
    thread_count_setting.store(count, std::memory_order_relaxed);
}

int threadCountSetting() { return thread_count_setting.load(std::memory_order_relaxed); }

int threadCount() {
    if (!teamsAllowed()) return 1;
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
    const int64_t end = first + n;
    const int threads = useThreadTeam(code, n) ? threadCount() : 1;
    if (threads <= 1) return evaluateOnCallingThread(layout, first, end, block_size, out, code);
    const int64_t step = teamBlockSize(code, n, block_size, threads);
    TeamJob job(code, layout, first, end, step, out);
    detail::runBlocks(job, (n + step - 1) / step, threads - 1);
    job.rethrowIfAny();
}

}  // namespace tarnex
