// The process-wide store of compiled programs, keyed by the exact expression
// text and the keyword names in call order (variable indices follow that
// order, so the same text with its names reordered is another program).
//
// Programs are compiled outside the lock, stored once and never replaced or
// evicted; a failed compilation stores nothing. Nothing here touches Python.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnex/program.h"

namespace tarnex {

struct ProgramKey {
    std::string expr;
    std::vector<std::string> names;

    // Byte for byte: case, spaces and name order all count.
    bool operator==(const ProgramKey&) const = default;
};

// FNV-1a of the text, then each name's FNV-1a mixed in with a
// golden-ratio combine step, so that name order changes the hash.
struct ProgramKeyHash {
    size_t operator()(const ProgramKey& key) const;
};

class ProgramCache {
public:
    using Compiler = std::function<Program(std::string_view, const std::vector<std::string_view>&)>;

    // `compiler` is replaceable so tests can observe and pace compilations.
    explicit ProgramCache(Compiler compiler = &compile) : compiler_(std::move(compiler)) {}

    // The stored program for (expr, names), compiling and storing it on a
    // miss. `views` and `names` are the same keyword names in the same order.
    // When two callers miss on one key at once, both compile and the first
    // to store wins; the other gets the stored program. Compiler exceptions
    // pass through and leave the cache unchanged.
    std::shared_ptr<Program> getOrCompile(const std::string& expr, const std::vector<std::string_view>& views,
                                          const std::vector<std::string>& names);

    size_t size() const;

private:
    Compiler compiler_;
    mutable std::mutex mutex;
    std::unordered_map<ProgramKey, std::shared_ptr<Program>, ProgramKeyHash> programs;
};

}  // namespace tarnex
