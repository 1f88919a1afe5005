// The process's helper threads, and the schedule by which they and a calling
// thread share the blocks of one evaluation.
//
// Whoever is running does the work: the blocks are cut into one run of
// neighbouring blocks per thread of the team, and the caller and each helper
// that wakes in time claim blocks from their own run and then from the
// others', so a helper the kernel has not scheduled leaves its share to the
// others. The caller waits only for blocks another thread has claimed, never
// for a helper that has not claimed one; a helper that arrives late finds
// nothing left and goes back to sleep.
// Nothing here touches Python, and helpers never run anything but blocks.
#pragma once

#include <cstdint>

namespace tarnex::detail {

// One evaluation's blocks, run by index. run() must not throw: it is called
// on helper threads, where an exception would end the process.
class BlockJob {
public:
    virtual void run(int64_t block) noexcept = 0;

protected:
    ~BlockJob() = default;
};

// Runs job.run(b) exactly once for every b in [0, blocks), each run's blocks
// in increasing order of claiming, on the calling thread and up to `helpers`
// helper threads, and returns when every block has run. Runs everything on the
// calling thread when another call holds the helpers, when no helper can be
// started, and in a process forked after helpers were started.
void runBlocks(BlockJob& job, int64_t blocks, int helpers);

// How many helper threads the process has started (for tests and benches).
int startedHelpers();

// Whether every helper started is awake: running a job, or still spinning
// after one, so that a new job costs no wake-up.
bool helpersAwake();

// For a call whose work pays for a team only while the helpers are awake:
// whether to have them. They are awake, or another such call came within
// the time helpers stay awake after a job, which makes this one part of a
// loop of calls that will keep them awake once they are woken.
bool helpersWanted();

}  // namespace tarnex::detail
