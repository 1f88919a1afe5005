#pragma once
// Decimal text to double for the lexer: the longest prefix of [first, last)
// that is a number in fixed or scientific notation with '.' as the point,
// correctly rounded; a std::from_chars_result-like record says where that
// prefix ends. Out-of-range input is either reported as result_out_of_range
// (value left as it was) or returned as an infinity or zero, depending on
// the library, so callers must refuse all three alike.
//
// fast_float is used when the build found it; otherwise the standard
// library's std::from_chars, which GCC 12's libstdc++ rounds correctly too.

#include <system_error>

#ifdef TARNEX_HAVE_FAST_FLOAT
#include <fast_float/fast_float.h>
#else
#include <charconv>
#endif

namespace tarnex::detail {

struct DecimalResult {
    const char* ptr;
    std::errc ec;
};

inline DecimalResult decimalFromChars(const char* first, const char* last, double& value) {
#ifdef TARNEX_HAVE_FAST_FLOAT
    auto result = fast_float::from_chars(first, last, value);
#else
    auto result = std::from_chars(first, last, value);
#endif
    return {result.ptr, result.ec};
}

}  // namespace tarnex::detail
