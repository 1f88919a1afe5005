#include "buffer_cache.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace tarnex {

// The first bytes of every mapping. The links are used only while the
// buffer is cached.
struct BufferCache::Header {
    size_t mapped;
    Header* newer;
    Header* older;
};

namespace {

// The data starts a cache line after the mapping, aligned for any vector.
constexpr size_t HEADER_BYTES = 64;
// Far beyond any real request, and small enough that rounding cannot wrap.
constexpr size_t LARGEST_REQUEST = std::numeric_limits<size_t>::max() / 4;

size_t pageBytes() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

size_t roundUp(size_t value, size_t step) { return (value + step - 1) / step * step; }

// Advice only: a kernel without transparent huge pages refuses it harmlessly.
void adviseHugePages([[maybe_unused]] void* memory, [[maybe_unused]] size_t bytes) {
#ifdef MADV_HUGEPAGE
    const uintptr_t start = roundUp(reinterpret_cast<uintptr_t>(memory), pageBytes());
    const uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + bytes) / pageBytes() * pageBytes();
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#endif
}

}  // namespace

BufferCache::~BufferCache() { dropAll(); }

size_t BufferCache::mappedBytes(size_t size) noexcept {
    if (size > LARGEST_REQUEST) return 0;
    const size_t page = pageBytes();
    const size_t bytes = roundUp(std::max<size_t>(size, 1) + HEADER_BYTES, page);
    if (bytes <= 4 * page) return bytes;
    return roundUp(bytes, std::bit_floor(bytes - 1) / 4);
}

void* BufferCache::allocate(size_t size) noexcept {
    static_assert(sizeof(Header) <= HEADER_BYTES);
    const size_t mapped = mappedBytes(size);
    if (mapped == 0) return nullptr;
    Header* header = takeCached(mapped);
    if (header == nullptr) header = obtainFresh(mapped);
    if (header == nullptr) {  // memory is short: give back what is kept, then try once more
        dropAll();
        header = obtainFresh(mapped);
    }
    return header == nullptr ? nullptr : dataOf(header);
}

void* BufferCache::reallocate(void* data, size_t size) noexcept {
    if (data == nullptr) return allocate(size);
    Header* header = headerOf(data);
    if (mappedBytes(size) == header->mapped) return data;
    void* moved = allocate(size);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, data, std::min(size, header->mapped - HEADER_BYTES));
    release(data);
    return moved;
}

void BufferCache::release(void* data) noexcept {
    if (data == nullptr) return;
    Header* header = headerOf(data);
    if (header->mapped > byte_budget_) {
        std::free(header);
        return;
    }
    Header* evicted = nullptr;
    {
        std::lock_guard lock(mutex_);
        pushNewestLocked(header);
        evictBeyond(byte_budget_, buffer_budget_, evicted);
    }
    freeList(evicted);
}

void BufferCache::dropAll() noexcept {
    Header* all = nullptr;
    {
        std::lock_guard lock(mutex_);
        evictBeyond(0, 0, all);
    }
    freeList(all);
}

size_t BufferCache::cachedBytes() const {
    std::lock_guard lock(mutex_);
    return cached_bytes_;
}

size_t BufferCache::cachedBuffers() const {
    std::lock_guard lock(mutex_);
    return cached_buffers_;
}

BufferCache& BufferCache::process() {
    static BufferCache& cache = *[] {
        auto created = std::make_unique<BufferCache>();
        // Fails only for want of memory.
        if (pthread_atfork(&lockForFork, &unlockAfterFork, &unlockAfterFork) != 0) throw std::bad_alloc();
        return created.release();
    }();
    return cache;
}

// The newest buffer of the class: the one most likely still in the CPU's
// caches.
BufferCache::Header* BufferCache::takeCached(size_t mapped) noexcept {
    std::lock_guard lock(mutex_);
    for (Header* header = newest_; header != nullptr; header = header->older) {
        if (header->mapped == mapped) {
            unlinkLocked(header);
            return header;
        }
    }
    return nullptr;
}

// Unlinks the oldest buffers until both bounds hold; they are chained
// through `older` into `evicted`, to be unmapped once the lock is let go.
void BufferCache::evictBeyond(size_t byte_budget, size_t buffer_budget, Header*& evicted) noexcept {
    while (cached_bytes_ > byte_budget || cached_buffers_ > buffer_budget) {
        Header* header = oldest_;
        unlinkLocked(header);
        header->older = evicted;
        evicted = header;
    }
}

void BufferCache::pushNewestLocked(Header* header) noexcept {
    header->newer = nullptr;
    header->older = newest_;
    (newest_ != nullptr ? newest_->newer : oldest_) = header;
    newest_ = header;
    cached_bytes_ += header->mapped;
    ++cached_buffers_;
}

void BufferCache::unlinkLocked(Header* header) noexcept {
    (header->newer != nullptr ? header->newer->older : newest_) = header->older;
    (header->older != nullptr ? header->older->newer : oldest_) = header->newer;
    cached_bytes_ -= header->mapped;
    --cached_buffers_;
}

// A buffer too large ever to be kept comes from the C library instead, which
// may keep it in its heap where a mapping of its own could not be reused.
BufferCache::Header* BufferCache::obtainFresh(size_t mapped) const noexcept {
    void* memory = nullptr;
    if (mapped > byte_budget_) {
        memory = std::aligned_alloc(HEADER_BYTES, mapped);
        if (memory == nullptr) return nullptr;
    } else {
        memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return nullptr;
    }
    if (mapped >= HUGE_PAGE_ADVICE_BYTES) adviseHugePages(memory, mapped);
    return new (memory) Header{mapped, nullptr, nullptr};
}

BufferCache::Header* BufferCache::headerOf(void* data) noexcept {
    return std::launder(reinterpret_cast<Header*>(static_cast<char*>(data) - HEADER_BYTES));
}

void* BufferCache::dataOf(Header* header) noexcept { return reinterpret_cast<char*>(header) + HEADER_BYTES; }

// Only buffers within the byte budget are ever listed: all are mappings.
void BufferCache::freeList(Header* list) noexcept {
    while (list != nullptr) {
        Header* next = list->older;
        munmap(list, list->mapped);
        list = next;
    }
}

void BufferCache::lockForFork() noexcept { process().mutex_.lock(); }

void BufferCache::unlockAfterFork() noexcept { process().mutex_.unlock(); }

}  // namespace tarnex
