// A store of freed result buffers, kept with their pages mapped so that a
// later result of the same size class reuses them instead of faulting in
// fresh, zeroed pages. The C library's allocator hands large freed blocks
// back to the kernel, which makes every result in a loop pay for new pages.
//
// Every buffer has a small header in front of its data. Those within the
// byte bound are anonymous mappings of their own; freed, they are kept
// newest first, bounded by bytes and by count, and the oldest go back to the
// kernel when a bound would be passed. Larger ones are never kept and come
// from the C library's allocator.
// Nothing here touches Python, and every member is safe to call from any
// thread.
#pragma once

#include <cstddef>
#include <mutex>

namespace tarnex {

// Freed buffers kept at most, by mapped bytes and by number. The byte bound
// is what a process may hold beyond its live arrays; the count bound keeps
// a flood of small results from pinning many mappings.
inline constexpr size_t RESULT_CACHE_BYTES = size_t{64} << 20;
inline constexpr size_t RESULT_CACHE_BUFFERS = 64;

// Mappings from this size on are advised to use transparent huge pages.
inline constexpr size_t HUGE_PAGE_ADVICE_BYTES = size_t{2} << 20;

class BufferCache {
public:
    explicit BufferCache(size_t byte_budget = RESULT_CACHE_BYTES, size_t buffer_budget = RESULT_CACHE_BUFFERS)
        : byte_budget_(byte_budget), buffer_budget_(buffer_budget) {}
    BufferCache(const BufferCache&) = delete;
    BufferCache& operator=(const BufferCache&) = delete;
    // Gives back the kept buffers; buffers still in use must not be
    // released to this cache afterwards.
    ~BufferCache();

    // At least `size` bytes aligned to 64, uninitialised (a reused buffer
    // holds whatever its last user left), or null when no memory is to be
    // had. Never throws.
    void* allocate(size_t size) noexcept;

    // realloc's contract for buffers of this cache: the first min(old, new)
    // bytes are kept; null `data` allocates; on failure null is returned and
    // `data` stays valid.
    void* reallocate(void* data, size_t size) noexcept;

    // Keeps the buffer for reuse or gives it back. Null is ignored.
    void release(void* data) noexcept;

    size_t cachedBytes() const;
    size_t cachedBuffers() const;

    // The mapped bytes that a request of `size` bytes occupies: its header
    // and data rounded up to a size class (quarter steps between powers of
    // two), so that nearly equal requests share buffers. 0 when too large.
    static size_t mappedBytes(size_t size) noexcept;

    // The one cache behind all result arrays; never destroyed, so arrays
    // freed late in interpreter shutdown still find it. A forked child
    // inherits it with its lock free. Throws std::bad_alloc when the fork
    // handlers cannot be registered.
    static BufferCache& process();

private:
    struct Header;

    Header* takeCached(size_t mapped) noexcept;
    void evictBeyond(size_t byte_budget, size_t buffer_budget, Header*& evicted) noexcept;
    void pushNewestLocked(Header* header) noexcept;
    void unlinkLocked(Header* header) noexcept;
    void dropAll() noexcept;
    Header* obtainFresh(size_t mapped) const noexcept;
    static void freeList(Header* list) noexcept;
    static Header* headerOf(void* data) noexcept;
    static void* dataOf(Header* header) noexcept;
    static void lockForFork() noexcept;
    static void unlockAfterFork() noexcept;

    const size_t byte_budget_;
    const size_t buffer_budget_;
    mutable std::mutex mutex_;
    Header* newest_ = nullptr;  // a list of freed buffers, newest first
    Header* oldest_ = nullptr;
    size_t cached_bytes_ = 0;
    size_t cached_buffers_ = 0;
};

}  // namespace tarnex
