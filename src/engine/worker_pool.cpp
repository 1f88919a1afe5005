#include "worker_pool.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "fork_safety.h"

namespace tarnex::detail {
namespace {

void futexWait(std::atomic<uint32_t>& word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>& word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

void cpuRelax() { __builtin_ia32_pause(); }

// Spins until `ready()` or `limit` has passed; whether it became ready.
template <class Ready>
bool spinUntil(Ready ready, std::chrono::nanoseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return true;
            cpuRelax();
        }
        if (std::chrono::steady_clock::now() >= end) return ready();
    }
}

// Gives the core away between looks until `word` differs from `seen` or
// `limit` has passed; whether it changed.
bool yieldUntil(const std::atomic<uint32_t>& word, uint32_t seen, std::chrono::nanoseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (word.load(std::memory_order_relaxed) == seen) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::yield();
    }
    return true;
}

// An idle helper spins this long for the next job, long enough to catch the
// next call of a loop of calls; then, until HELPER_YIELDING has passed, it
// gives its core to any thread that wants it between looks, so that on a
// busy machine it takes little from the threads that work while the next
// call after some other work of the caller still finds it awake; then it
// sleeps.
constexpr std::chrono::microseconds HELPER_SPIN{50};
constexpr std::chrono::microseconds HELPER_YIELDING{5000};
// The caller spins this long for blocks others have claimed before it sleeps.
constexpr std::chrono::microseconds CALLER_SPIN{50};

// The claim words: the job's number above, the next block's index below. A
// claim is a compare-and-swap of a whole word, so a helper that read an
// earlier job's word can never claim a block of a later job.
constexpr int INDEX_BITS = 24;
constexpr uint64_t INDEX_MASK = (uint64_t{1} << INDEX_BITS) - 1;
// An index no job reaches: nothing to claim.
constexpr uint64_t CLOSED = INDEX_MASK;
constexpr int64_t MAX_JOB_BLOCKS = static_cast<int64_t>(CLOSED) - 1;

// A job's blocks are cut into one run of neighbouring blocks per thread of
// the team, each with its own claim word. A thread claims from its own run
// first and then from the others', so on a quiet machine each thread
// streams through memory of its own, and on a busy one whoever is running
// still takes the blocks of a thread that has not come.
constexpr int MAX_RUNS = 64;

class Pool {
public:
    void run(BlockJob& job, int64_t blocks, int helpers);
    bool tryTake() { return !busy_.exchange(true, std::memory_order_acquire); }
    void release() { busy_.store(false, std::memory_order_release); }
    int started() const { return started_.load(std::memory_order_relaxed); }
    bool awake() const { return started() > 0 && sleepers_.load(std::memory_order_relaxed) == 0; }
    // Starts helpers until there are `wanted`; how many there are.
    int ensureHelpers(int wanted);

private:
    void helperMain(uint32_t seen);
    uint32_t awaitJob(uint32_t seen);
    void help();
    int takeSeat();
    int64_t claimAndRun(int seat);
    int64_t claimAndRunFrom(int run);
    void publish(BlockJob& job, int64_t blocks, int helpers);
    void closeRuns(uint64_t job_number);
    void awaitClaimed(int64_t blocks, int64_t own);

    std::atomic<bool> busy_{false};
    std::atomic<uint64_t> claims_[MAX_RUNS];
    std::atomic<uint64_t> run_ends_[MAX_RUNS];
    std::atomic<int> runs_{0};
    uint64_t job_number_ = 0;  // written by the caller holding the pool only
    std::atomic<BlockJob*> job_{nullptr};
    std::atomic<int> seats_{0};
    std::atomic<uint32_t> done_{0};
    std::atomic<uint32_t> caller_waiting_{0};
    std::atomic<uint32_t> job_word_{0};
    std::atomic<uint32_t> sleepers_{0};
    std::atomic<int> started_{0};
    std::vector<std::thread> helpers_;
};

// Helpers start with every signal blocked, so that signals reach the
// program's own threads and never interrupt a helper's wait.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

int Pool::ensureHelpers(int wanted) {
    while (static_cast<int>(helpers_.size()) < wanted && teamsAllowed()) {
        noteHelpersStarted();
        try {
            const SignalsBlocked blocked;
            helpers_.emplace_back([this, seen = job_word_.load()] { helperMain(seen); });
        } catch (const std::exception&) {
            break;  // no thread or no memory for one: the caller works on with the helpers it has
        }
        started_.store(static_cast<int>(helpers_.size()), std::memory_order_relaxed);
    }
    return std::min(wanted, static_cast<int>(helpers_.size()));
}

// glibc allocates a thread's copy of this library's thread-local data at its
// first use, and ends the process when it cannot. A helper takes it as it
// starts, while the memory that let its stack be mapped is still there,
// rather than when its first block has left none.
thread_local volatile char thread_data_taken = 0;

void Pool::helperMain(uint32_t seen) {
    thread_data_taken = 1;
    for (;;) {
        seen = awaitJob(seen);
        help();
    }
}

uint32_t Pool::awaitJob(uint32_t seen) {
    const auto changed = [&] { return job_word_.load(std::memory_order_relaxed) != seen; };
    if (!spinUntil(changed, HELPER_SPIN) && !yieldUntil(job_word_, seen, HELPER_YIELDING - HELPER_SPIN)) {
        sleepers_.fetch_add(1);
        while (job_word_.load() == seen) futexWait(job_word_, seen);
        sleepers_.fetch_sub(1);
    }
    return job_word_.load();
}

// A helper's seat, from the count of seats it found free: the first to come
// gets the team's number of helpers, the next one less, ...; 0 when the team
// is full. The seat picks the run a helper starts with (the caller's is 0),
// and is positive whatever job the helper then finds.
int Pool::takeSeat() {
    int seats = seats_.load();
    while (seats > 0 && !seats_.compare_exchange_weak(seats, seats - 1)) {
    }
    return std::max(seats, 0);
}

// Each helper that takes a seat wakes the next sleeper, so the caller pays
// for one wake-up whatever the size of the team.
void Pool::help() {
    const int seat = takeSeat();
    if (seat == 0) return;
    if (seats_.load() > 0 && sleepers_.load() != 0) futexWake(job_word_, 1);
    const int64_t ran = claimAndRun(seat);
    if (ran == 0) return;
    done_.fetch_add(static_cast<uint32_t>(ran));
    if (caller_waiting_.load() != 0) futexWake(done_, 1);
}

// Claims and runs the current job's blocks until none is left: those of the
// seat's own run, then the others' in turn.
int64_t Pool::claimAndRun(int seat) {
    int64_t ran = 0;
    const int runs = runs_.load();
    for (int i = 0; i < runs; ++i) ran += claimAndRunFrom((seat + i) % runs);
    return ran;
}

// The job and the run's end are read after the run's claim word and checked
// by the claim itself: a later job is published only after this job's words
// are closed.
int64_t Pool::claimAndRunFrom(int run) {
    int64_t ran = 0;
    std::atomic<uint64_t>& claim = claims_[run];
    uint64_t word = claim.load();
    for (;;) {
        BlockJob* job = job_.load();
        const uint64_t index = word & INDEX_MASK;
        if (index >= run_ends_[run].load()) return ran;
        if (!claim.compare_exchange_weak(word, word + 1)) continue;
        job->run(static_cast<int64_t>(index));
        ++ran;
        word = claim.load();
    }
}

void Pool::closeRuns(uint64_t job_number) {
    for (int run = 0; run < runs_.load(); ++run) claims_[run].store(job_number << INDEX_BITS | CLOSED);
}

void Pool::publish(BlockJob& job, int64_t blocks, int helpers) {
    const uint64_t number = ++job_number_;
    const int runs = std::min(helpers + 1, MAX_RUNS);
    runs_.store(runs);
    closeRuns(number);
    job_.store(&job);
    done_.store(0);
    caller_waiting_.store(0);
    seats_.store(helpers);
    for (int run = 0; run < runs; ++run) run_ends_[run].store(static_cast<uint64_t>(blocks * (run + 1) / runs));
    for (int run = 0; run < runs; ++run)
        claims_[run].store(number << INDEX_BITS | static_cast<uint64_t>(blocks * run / runs));
    job_word_.fetch_add(1);
    if (sleepers_.load() != 0) futexWake(job_word_, 1);
}

// Waits for the blocks helpers claimed; a helper that claimed none is not
// waited for.
void Pool::awaitClaimed(int64_t blocks, int64_t own) {
    auto finished = [&] { return own + static_cast<int64_t>(done_.load()) >= blocks; };
    if (spinUntil(finished, CALLER_SPIN)) return;
    caller_waiting_.store(1);
    for (uint32_t done = done_.load(); own + static_cast<int64_t>(done) < blocks; done = done_.load())
        futexWait(done_, done);
    caller_waiting_.store(0);
}

void Pool::run(BlockJob& job, int64_t blocks, int helpers) {
    publish(job, blocks, helpers);
    const int64_t own = claimAndRun(0);
    awaitClaimed(blocks, own);
    closeRuns(job_number_);
}

// Never destroyed: threads that are still inside an evaluation when the
// process exits must find it whole.
Pool& pool() {
    static Pool* const instance = new Pool;
    return *instance;
}

// A job of more blocks than one claim word counts runs as several.
class Offset final : public BlockJob {
public:
    Offset(BlockJob& job, int64_t first) : job_(job), first_(first) {}
    void run(int64_t block) noexcept override { job_.run(first_ + block); }

private:
    BlockJob& job_;
    int64_t first_;
};

void runAlone(BlockJob& job, int64_t blocks) {
    for (int64_t b = 0; b < blocks; ++b) job.run(b);
}

}  // namespace

void runBlocks(BlockJob& job, int64_t blocks, int helpers) {
    Pool& helpers_pool = pool();
    if (helpers <= 0 || blocks <= 1 || !helpers_pool.tryTake()) return runAlone(job, blocks);
    const std::unique_ptr<Pool, void (*)(Pool*)> held(&helpers_pool, [](Pool* taken) { taken->release(); });
    const int available = helpers_pool.ensureHelpers(helpers);
    for (int64_t first = 0; first < blocks; first += MAX_JOB_BLOCKS) {
        Offset part(job, first);
        const int64_t count = std::min(MAX_JOB_BLOCKS, blocks - first);
        if (available == 0) runAlone(part, count);
        else helpers_pool.run(part, count, available);
    }
}

int startedHelpers() { return pool().started(); }

bool helpersAwake() { return pool().awake(); }

bool helpersWanted() {
    static std::atomic<int64_t> last_asked{std::numeric_limits<int64_t>::min() / 2};
    const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    const int64_t before = last_asked.exchange(now, std::memory_order_relaxed);
    const auto since = std::chrono::steady_clock::duration(now - before);
    return helpersAwake() || since < HELPER_YIELDING;
}

}  // namespace tarnex::detail
