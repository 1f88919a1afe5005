#include "cache.h"

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

}  // namespace

size_t ProgramKeyHash::operator()(const ProgramKey& key) const {
    uint64_t h = fnv1a(key.expr);
    for (const std::string& name : key.names) h ^= fnv1a(name) + GOLDEN_RATIO + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
}

std::shared_ptr<Program> ProgramCache::getOrCompile(const std::string& expr,
                                                    const std::vector<std::string_view>& views,
                                                    const std::vector<std::string>& names) {
    ProgramKey key{expr, names};
    {
        std::lock_guard lock(mutex);
        if (auto found = programs.find(key); found != programs.end()) return found->second;
    }
    auto compiled = std::make_shared<Program>(compiler_(expr, views));
    compiled->plan = planProgram(*compiled);
    std::lock_guard lock(mutex);
    return programs.try_emplace(std::move(key), std::move(compiled)).first->second;
}

size_t ProgramCache::size() const {
    std::lock_guard lock(mutex);
    return programs.size();
}

}  // namespace tarnex
