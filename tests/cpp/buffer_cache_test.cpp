#include "buffer_cache.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace tarnex {
namespace {

const size_t PAGE = static_cast<size_t>(sysconf(_SC_PAGESIZE));
constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;
constexpr size_t HEADER = 64;

TEST(BufferCache, MappedBytesRoundsHeaderAndDataUpToAClass) {
    ASSERT_LE(PAGE, 16 * KiB);
    const struct {
        size_t request, mapped;
    } cases[] = {
        {0, PAGE},
        {PAGE - HEADER, PAGE},
        {PAGE - HEADER + 1, 2 * PAGE},
        {4 * PAGE - HEADER, 4 * PAGE},
        {4 * PAGE - HEADER + 1, 5 * PAGE},  // quarter steps above four pages
        {128 * KiB - HEADER, 128 * KiB},
        {128 * KiB - HEADER + 1, 160 * KiB},
        {800'000, 896 * KiB},
        {8'000'000, 8 * MiB},
        {std::numeric_limits<size_t>::max(), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(BufferCache::mappedBytes(c.request), c.mapped);
    }
}

void fill(void* data, size_t size, unsigned char value) { std::memset(data, value, size); }

bool holds(const void* data, size_t size, unsigned char value) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] != value) return false;
    return true;
}

TEST(BufferCache, ReusesTheNewestBufferOfTheSameClassOnly) {
    BufferCache cache;
    void* older = cache.allocate(200 * KiB);
    void* newer = cache.allocate(200 * KiB);
    ASSERT_TRUE(older && newer);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(older) % 64, 0u);
    cache.release(older);
    cache.release(newer);
    EXPECT_EQ(cache.cachedBuffers(), 2u);
    EXPECT_EQ(cache.cachedBytes(), 2 * BufferCache::mappedBytes(200 * KiB));

    void* other_class = cache.allocate(100 * KiB);
    EXPECT_EQ(cache.cachedBuffers(), 2u);
    EXPECT_EQ(cache.allocate(195 * KiB), newer);  // same class, smaller request
    EXPECT_EQ(cache.allocate(200 * KiB), older);
    EXPECT_EQ(cache.cachedBuffers(), 0u);
    for (void* data : {other_class, newer, older}) cache.release(data);
}

// The bound that would be passed first decides; the oldest buffers go.
TEST(BufferCache, KeepsTheNewestBuffersWithinBothBounds) {
    const size_t size = 300 * KiB;
    const size_t mapped = BufferCache::mappedBytes(size);
    const struct {
        size_t byte_budget, buffer_budget, kept;
    } cases[] = {{3 * mapped, 10, 3}, {3 * mapped + mapped / 2, 10, 3}, {100 * mapped, 2, 2}, {100 * mapped, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kept);
        BufferCache cache(c.byte_budget, c.buffer_budget);
        std::vector<void*> buffers;
        for (int i = 0; i < 5; ++i) buffers.push_back(cache.allocate(size));
        for (int i = 0; i < 5; ++i) {
            fill(buffers[i], size, static_cast<unsigned char>(i + 1));
            cache.release(buffers[i]);
        }
        EXPECT_EQ(cache.cachedBuffers(), c.kept);
        EXPECT_EQ(cache.cachedBytes(), c.kept * mapped);
        // Reused buffers keep their last contents: newest first, then a fresh, zeroed one.
        for (size_t k = 0; k <= c.kept; ++k) {
            buffers[k] = cache.allocate(size);
            EXPECT_TRUE(holds(buffers[k], size, k < c.kept ? static_cast<unsigned char>(5 - k) : 0)) << k;
        }
        for (size_t k = 0; k <= c.kept; ++k) cache.release(buffers[k]);
    }
}

TEST(BufferCache, BufferLargerThanTheByteBudgetIsNotKept) {
    BufferCache cache(1 * MiB, 10);
    void* data = cache.allocate(2 * MiB);
    ASSERT_NE(data, nullptr);
    fill(data, 2 * MiB, 7);
    cache.release(data);
    EXPECT_EQ(cache.cachedBuffers(), 0u);
}

TEST(BufferCache, ImpossibleRequestsFailWithoutHarm) {
    BufferCache cache;
    EXPECT_EQ(cache.allocate(std::numeric_limits<size_t>::max()), nullptr);
    void* data = cache.allocate(1000);
    fill(data, 1000, 9);
    EXPECT_EQ(cache.reallocate(data, std::numeric_limits<size_t>::max() - 8), nullptr);
    EXPECT_TRUE(holds(data, 1000, 9));
    cache.release(data);
    cache.release(nullptr);
    EXPECT_EQ(cache.cachedBuffers(), 1u);
}

TEST(BufferCache, ReallocateKeepsTheCommonPrefix) {
    BufferCache cache;
    void* data = cache.reallocate(nullptr, 150 * KiB);
    fill(data, 150 * KiB, 3);
    EXPECT_EQ(cache.reallocate(data, 160 * KiB - HEADER), data);  // same class: in place
    void* grown = cache.reallocate(data, 1 * MiB);
    ASSERT_NE(grown, nullptr);
    EXPECT_TRUE(holds(grown, 150 * KiB, 3));
    void* shrunk = cache.reallocate(grown, 10 * KiB);
    ASSERT_NE(shrunk, nullptr);
    EXPECT_TRUE(holds(shrunk, 10 * KiB, 3));
    cache.release(shrunk);
}

// Threads allocate, write, check and release buffers of mixed classes; half
// of the buffers are released by another thread than the one that took them.
TEST(BufferCache, ThreadsShareTheCacheSafely) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 3000;
    const size_t mapped = BufferCache::mappedBytes(256 * KiB);
    BufferCache cache(8 * mapped, 8);
    std::atomic<void*> handoff[THREADS] = {};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < ROUNDS; ++round) {
                const size_t size = (64 + 64 * static_cast<size_t>((round * 7 + t) % 5)) * KiB;
                void* data = cache.allocate(size);
                const auto mark = static_cast<unsigned char>(t * 16 + round % 16);
                fill(data, size, mark);
                std::this_thread::yield();
                if (!holds(data, size, mark)) ++failures;
                cache.release(handoff[(t + round) % THREADS].exchange(data));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (auto& slot : handoff) cache.release(slot.exchange(nullptr));
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(cache.cachedBuffers(), 8u);
    EXPECT_LE(cache.cachedBytes(), 8 * mapped);
}

// A child forked while another thread works in the process cache must not
// find its lock held by a thread it does not have.
TEST(BufferCache, ForkedChildUsesTheProcessCacheWhileParentThreadsWork) {
    BufferCache& cache = BufferCache::process();
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) cache.release(cache.allocate(200 * KiB));
    });
    int failures = 0;
    for (int i = 0; i < 20; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(10);  // a deadlock ends as a signal
            for (int k = 0; k < 100; ++k) {
                void* data = cache.allocate(200 * KiB);
                fill(data, 200 * KiB, 5);
                if (!holds(data, 200 * KiB, 5)) _exit(1);
                cache.release(data);
            }
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    }
    stop = true;
    worker.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace tarnex
