// The process-wide store of compiled programs, keyed by the exact expression
// text, the keyword names in call order (variable indices follow that
// order, so the same text with its names reordered is another program) and
// the divide mode it was compiled under.
//
// The store is bounded by the bytes it holds, keys and programs together:
// storing a program evicts the least recently used ones until the total fits
// the budget again, and a program larger than the whole budget is returned
// without being stored. Callers still holding an evicted program keep it.
//
// The caller compiles and prepares a program outside the lock after a miss,
// then inserts it; when two callers miss on one key at once, the first to
// insert wins and the other gets the stored program back. Nothing is stored
// for a failed compilation. A hit copies neither the text nor the names.
// Nothing here compiles, plans or touches Python.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tarnex/engine.h"

namespace tarnex {

// Texts from outside are unbounded in number; 64 MiB holds about 90,000
// short programs, far more than any working set of formulas, and stays a
// small share of a server's memory.
constexpr size_t PROGRAM_CACHE_BUDGET = size_t{64} << 20;

struct ProgramKey {
    std::string expr;
    std::vector<std::string> names;
    DivideMode divide = DivideMode::RAISE;

    // Byte for byte: case, spaces and name order all count.
    bool operator==(const ProgramKey&) const = default;
};

// A key borrowed from the caller, for lookups that must not copy it.
struct ProgramKeyView {
    std::string_view expr;
    std::span<const std::string_view> names;
    DivideMode divide = DivideMode::RAISE;
};

// FNV-1a of the text, then each name's FNV-1a mixed in with a
// golden-ratio combine step, so that name order changes the hash, and the
// divide mode last. A key and its view hash alike.
struct ProgramKeyHash {
    size_t operator()(const ProgramKey& key) const;
    size_t operator()(const ProgramKeyView& key) const;
};

class ProgramCache {
public:
    explicit ProgramCache(size_t budget_bytes = PROGRAM_CACHE_BUDGET) : budget_(budget_bytes) {}

    // The stored program for (expr, names, divide), now the most recently
    // used, or null.
    std::shared_ptr<const PreparedProgram> find(std::string_view expr, std::span<const std::string_view> names,
                                                DivideMode divide = DivideMode::RAISE);
    // Stores `program` for (expr, names, divide) unless another one was
    // stored for the key meanwhile, and returns the stored one; a program
    // larger than the whole budget is returned without being stored.
    std::shared_ptr<const PreparedProgram> insert(std::string_view expr, std::span<const std::string_view> names,
                                    std::shared_ptr<const PreparedProgram> program,
                                    DivideMode divide = DivideMode::RAISE);

    size_t size() const;
    // What the stored entries hold, as counted against the budget.
    size_t bytes() const;

private:
    struct Entry {
        ProgramKey key;
        size_t hash;
        size_t bytes;
        std::shared_ptr<const PreparedProgram> program;
    };
    using Position = std::list<Entry>::iterator;
    struct Lookup {
        ProgramKeyView key;
        size_t hash;
    };
    // The index hashes and compares positions in the recency list, and
    // borrowed lookups against them.
    struct PositionHash {
        using is_transparent = void;
        size_t operator()(Position p) const { return p->hash; }
        size_t operator()(const Lookup& l) const { return l.hash; }
    };
    struct PositionEqual {
        using is_transparent = void;
        bool operator()(Position a, Position b) const { return a->key == b->key; }
        bool operator()(const Lookup& l, Position p) const;
        bool operator()(Position p, const Lookup& l) const { return (*this)(l, p); }
    };

    std::shared_ptr<const PreparedProgram> findAndTouch(const Lookup& lookup);
    std::shared_ptr<const PreparedProgram> touch(Position position);
    std::shared_ptr<const PreparedProgram> store(const ProgramKeyView& view, size_t hash, std::shared_ptr<const PreparedProgram> program);
    void evictBeyond(size_t budget);

    const size_t budget_;
    mutable std::mutex mutex;
    std::list<Entry> recency;  // most recently used first
    std::unordered_set<Position, PositionHash, PositionEqual> index;
    size_t bytes_ = 0;
};

}  // namespace tarnex
