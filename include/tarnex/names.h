// Name matching, the same at every stage: variable and built-in names are
// compared without regard to ASCII letter case, in every locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnex {

inline unsigned char asciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(static_cast<unsigned char>(a[i])) != asciiLower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// FNV-1a over the lower-cased bytes: names equal ignoring case hash alike.
inline size_t hashIgnoringCase(std::string_view name) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : name) h = (h ^ asciiLower(static_cast<unsigned char>(c))) * 0x100000001b3ull;
    return static_cast<size_t>(h);
}

// Hash and equality for maps of names that ignore ASCII case.
struct CaseInsensitiveHash {
    size_t operator()(std::string_view name) const { return hashIgnoringCase(name); }
};
struct CaseInsensitiveEqual {
    bool operator()(std::string_view a, std::string_view b) const { return equalsIgnoringCase(a, b); }
};

}  // namespace tarnex
