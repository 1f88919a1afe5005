#include "cache.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "tarnex/engine.h"

namespace tarnex {
namespace {

constexpr uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;
constexpr uint64_t GOLDEN_RATIO = 0x9e3779b97f4a7c15ull;

uint64_t fnv1a(std::string_view bytes) {
    uint64_t h = FNV_OFFSET_BASIS;
    for (char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * FNV_PRIME;
    return h;
}

template <class Names>
size_t hashKey(std::string_view expr, const Names& names, DivideMode divide) {
    uint64_t h = fnv1a(expr);
    for (std::string_view name : names) h ^= fnv1a(name) + GOLDEN_RATIO + (h << 6) + (h >> 2);
    h ^= static_cast<uint64_t>(divide) * GOLDEN_RATIO;  // RAISE, 0, leaves it as it is
    return static_cast<size_t>(h);
}

// What the allocator takes for one block of `size` bytes: an 8-byte header,
// rounded up to 16, at least 32. Counting this way keeps the budget close to
// the memory the process really holds, for many small entries too.
size_t heapBytes(size_t size) {
    if (size == 0) return 0;
    return std::max<size_t>(32, (size + 8 + 15) & ~size_t{15});
}

template <class T>
size_t vectorBytes(const std::vector<T>& v) {
    return heapBytes(v.capacity() * sizeof(T));
}

// A string's own buffer only exists beyond the short-string capacity.
size_t stringBytes(const std::string& s) {
    return s.capacity() > std::string().capacity() ? heapBytes(s.capacity() + 1) : 0;
}

size_t namesBytes(const std::vector<std::string>& names) {
    size_t total = vectorBytes(names);
    for (const std::string& name : names) total += stringBytes(name);
    return total;
}

// make_shared's one block of prepared program and counts, the program's
// arrays, its name map (buckets, and nodes of a link, the pair and the
// cached hash) and its plan.
size_t programBytes(const PreparedProgram& prepared) {
    constexpr size_t CONTROL_BLOCK = 16;
    constexpr size_t NAME_NODE = sizeof(void*) + sizeof(std::pair<const std::string, uint32_t>) + sizeof(size_t);
    const Program& p = prepared.program();
    size_t total = heapBytes(sizeof(PreparedProgram) + CONTROL_BLOCK);
    total += vectorBytes(p.code) + vectorBytes(p.constants) + vectorBytes(p.var_values) + namesBytes(p.var_names);
    total += vectorBytes(prepared.blockCode()) + prepared.planBytes();
    total += heapBytes(p.var_index.bucket_count() * sizeof(void*));
    for (const auto& [name, index] : p.var_index) total += heapBytes(NAME_NODE) + stringBytes(name);
    return total;
}

}  // namespace

size_t ProgramKeyHash::operator()(const ProgramKey& key) const { return hashKey(key.expr, key.names, key.divide); }

size_t ProgramKeyHash::operator()(const ProgramKeyView& key) const {
    return hashKey(key.expr, key.names, key.divide);
}

bool ProgramCache::PositionEqual::operator()(const Lookup& l, Position p) const {
    return l.key.divide == p->key.divide && l.key.expr == p->key.expr &&
           std::ranges::equal(l.key.names, p->key.names);
}

std::shared_ptr<const PreparedProgram> ProgramCache::find(std::string_view expr, std::span<const std::string_view> names,
                                                          DivideMode divide) {
    const ProgramKeyView view{expr, names, divide};
    const Lookup lookup{view, ProgramKeyHash{}(view)};
    std::lock_guard lock(mutex);
    return findAndTouch(lookup);
}

std::shared_ptr<const PreparedProgram> ProgramCache::insert(std::string_view expr, std::span<const std::string_view> names,
                                              std::shared_ptr<const PreparedProgram> program, DivideMode divide) {
    const ProgramKeyView view{expr, names, divide};
    return store(view, ProgramKeyHash{}(view), std::move(program));
}

// Under the lock: the stored program, now the most recently used, or null.
std::shared_ptr<const PreparedProgram> ProgramCache::findAndTouch(const Lookup& lookup) {
    auto found = index.find(lookup);
    return found == index.end() ? nullptr : touch(*found);
}

std::shared_ptr<const PreparedProgram> ProgramCache::touch(Position position) {
    recency.splice(recency.begin(), recency, position);
    return position->program;
}

// The key is copied only once the program alone is known to fit: a long
// text makes a program larger than the whole budget.
std::shared_ptr<const PreparedProgram> ProgramCache::store(const ProgramKeyView& view, size_t hash, std::shared_ptr<const PreparedProgram> program) {
    // The list node, the index node and its bucket come with every entry.
    constexpr size_t INDEX_NODE = sizeof(void*) + sizeof(Position) + sizeof(size_t);
    const size_t program_bytes =
        heapBytes(sizeof(Entry) + 2 * sizeof(void*)) + heapBytes(INDEX_NODE) + sizeof(void*) + programBytes(*program);
    if (program_bytes > budget_) return program;
    ProgramKey key{std::string(view.expr), {view.names.begin(), view.names.end()}, view.divide};
    const size_t bytes = program_bytes + stringBytes(key.expr) + namesBytes(key.names);
    if (bytes > budget_) return program;
    std::lock_guard lock(mutex);
    recency.push_front(Entry{std::move(key), hash, bytes, program});
    std::pair<decltype(index)::iterator, bool> placed;
    try {
        placed = index.insert(recency.begin());
    } catch (...) {
        recency.pop_front();
        throw;
    }
    if (!placed.second) {
        recency.pop_front();  // another caller stored this key first
        return touch(*placed.first);
    }
    bytes_ += bytes;
    evictBeyond(budget_);
    return program;
}

// Under the lock: drops least recently used entries until at most `budget`
// bytes remain.
void ProgramCache::evictBeyond(size_t budget) {
    while (bytes_ > budget) {
        index.erase(std::prev(recency.end()));
        bytes_ -= recency.back().bytes;
        recency.pop_back();
    }
}

size_t ProgramCache::size() const {
    std::lock_guard lock(mutex);
    return recency.size();
}

size_t ProgramCache::bytes() const {
    std::lock_guard lock(mutex);
    return bytes_;
}

}  // namespace tarnex
