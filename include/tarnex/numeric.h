// The per-element meaning of every operation, defined once.
//
// Constant folding, the block interpreter and the scalar evaluator all call
// these, so a folded constant and a run-time result agree bit for bit. Every
// function is branch-free apart from the math library call, so loops over
// them vectorise. None of them checks for a zero divisor: callers do that,
// because where the check happens differs between the evaluators.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tarnex {

// Truncation toward zero; NaN, the infinities and everything outside
// [-2^63, 2^63) give -2^63. Written so no out-of-range cast is ever evaluated.
inline int64_t to_int64(double x) {
    constexpr double lower = -9223372036854775808.0;  // -2^63, exact
    constexpr double upper = 9223372036854775808.0;   //  2^63, exact
    return (x >= lower && x < upper) ? static_cast<int64_t>(x)
                                     : std::numeric_limits<int64_t>::min();
}

// The right operand of &, | and ^ in the per-element evaluator: below 2^63
// (NaN included) as to_int64; from 2^63 up to 2^64 the exact unsigned value;
// 2^64 and above, and +infinity, the pattern 0x8000000000000000.
inline uint64_t to_uint64(double x) {
    constexpr double lower = 9223372036854775808.0;   // 2^63, exact
    constexpr double upper = 18446744073709551616.0;  // 2^64, exact
    return (x >= lower && x < upper) ? static_cast<uint64_t>(x) : static_cast<uint64_t>(to_int64(x));
}

// The integer result of a bitwise operation read as signed, back to double.
inline double fromBits(uint64_t bits) { return static_cast<double>(static_cast<int64_t>(bits)); }

inline bool truth(double x) { return x != 0.0; }  // NaN is true, -0.0 false
inline double fromBool(bool b) { return b ? 1.0 : 0.0; }

// A signalling NaN made quiet as arithmetic on it would make it: the quiet
// bit set, sign and payload kept; other values unchanged. Bit operations and
// a select, so a loop over it vectorises and no compiler can fold it away.
inline double quieted(double x) {
    constexpr double quiet_bit = std::bit_cast<double>(uint64_t{1} << 51);
    return std::bit_cast<double>(std::bit_cast<uint64_t>(x) | std::bit_cast<uint64_t>(x != x ? quiet_bit : 0.0));
}

namespace op {

// The placeholder of opcodes that compute nothing (pushes, jumps, calls).
struct None {};

// Of two NaN operands the processor returns the first one, and which operand
// of a + or * comes first is the compiler's choice, made differently for a
// scalar loop and a vector one. Giving a NaN left operand itself as the right
// one too makes the left NaN the result (quieted, as the processor would) on
// every route and level; it is a select of loaded values, which vectorises
// at every level. - and / cannot be reordered.
inline double leftNaNFirst(double a, double b) { return a != a ? a : b; }

// Binary operations, one functor per opcode.
struct Add { static double apply(double a, double b) { return a + leftNaNFirst(a, b); } };
struct Sub { static double apply(double a, double b) { return a - b; } };
struct Mul { static double apply(double a, double b) { return a * leftNaNFirst(a, b); } };
struct Div { static double apply(double a, double b) { return a / b; } };
struct Mod { static double apply(double a, double b) { return std::fmod(a, b); } };
struct BitAnd {
    static double apply(double a, double b) { return static_cast<double>(to_int64(a) & to_int64(b)); }
};
struct BitOr {
    static double apply(double a, double b) { return static_cast<double>(to_int64(a) | to_int64(b)); }
};
struct BitXor {
    static double apply(double a, double b) { return static_cast<double>(to_int64(a) ^ to_int64(b)); }
};
// The per-element evaluator's variants: the right operand through to_uint64.
struct BitAndUnsigned {
    static double apply(double a, double b) { return fromBits(static_cast<uint64_t>(to_int64(a)) & to_uint64(b)); }
};
struct BitOrUnsigned {
    static double apply(double a, double b) { return fromBits(static_cast<uint64_t>(to_int64(a)) | to_uint64(b)); }
};
struct BitXorUnsigned {
    static double apply(double a, double b) { return fromBits(static_cast<uint64_t>(to_int64(a)) ^ to_uint64(b)); }
};
// Shifts work on the unsigned bit pattern (left) or rely on C++20's defined
// arithmetic right shift, so no count or value is undefined behaviour.
struct ShiftLeft {
    static double apply(double a, double b) {
        uint64_t bits = static_cast<uint64_t>(to_int64(a)) << (static_cast<uint64_t>(to_int64(b)) & 63u);
        return static_cast<double>(static_cast<int64_t>(bits));
    }
};
struct ShiftRight {
    static double apply(double a, double b) {
        return static_cast<double>(to_int64(a) >> (static_cast<uint64_t>(to_int64(b)) & 63u));
    }
};
// The operations whose every result is 1.0 or 0.0.
struct TruthValued {};
struct CmpEq : TruthValued { static double apply(double a, double b) { return fromBool(a == b); } };
struct CmpNe : TruthValued { static double apply(double a, double b) { return fromBool(a != b); } };
struct CmpLt : TruthValued { static double apply(double a, double b) { return fromBool(a < b); } };
struct CmpLe : TruthValued { static double apply(double a, double b) { return fromBool(a <= b); } };
struct CmpGt : TruthValued { static double apply(double a, double b) { return fromBool(a > b); } };
struct CmpGe : TruthValued { static double apply(double a, double b) { return fromBool(a >= b); } };
struct LogicalAnd : TruthValued {
    static double apply(double a, double b) { return fromBool(truth(a) && truth(b)); }
};
struct LogicalOr : TruthValued {
    static double apply(double a, double b) { return fromBool(truth(a) || truth(b)); }
};
// The chosen value passes unchanged, NaN payload and sign of zero included.
struct Select {
    static double apply(double c, double x, double y) { return truth(c) ? x : y; }
};

// Unary operations.
struct LogicalNot : TruthValued { static double apply(double x) { return fromBool(!truth(x)); } };
struct BitNot { static double apply(double x) { return static_cast<double>(~to_int64(x)); } };
struct Negate { static double apply(double x) { return -x; } };

// Built-in functions of one argument.
struct Sin { static double apply(double x) { return std::sin(x); } };
struct Cos { static double apply(double x) { return std::cos(x); } };
struct Tan { static double apply(double x) { return std::tan(x); } };
struct Asin { static double apply(double x) { return std::asin(x); } };
struct Acos { static double apply(double x) { return std::acos(x); } };
struct Atan { static double apply(double x) { return std::atan(x); } };
struct Sqrt { static double apply(double x) { return std::sqrt(x); } };
struct Log { static double apply(double x) { return std::log(x); } };
struct Log10 { static double apply(double x) { return std::log10(x); } };
struct Exp { static double apply(double x) { return std::exp(x); } };
struct Abs { static double apply(double x) { return std::fabs(x); } };
// The library's floor and ceil quiet a signalling NaN, and so does the
// rounding instruction compilers use for them from SSE4.1 on; the inline
// form below SSE4.1 hands the NaN back unchanged, hence the second step.
struct Floor { static double apply(double x) { return quieted(std::floor(x)); } };
struct Ceil { static double apply(double x) { return quieted(std::ceil(x)); } };
struct Round { static double apply(double x) { return std::round(x); } };
struct Pow { static double apply(double a, double b) { return std::pow(a, b); } };

// Running minimum and maximum: the accumulator is replaced only by a strictly
// smaller (larger) value, so a leading NaN survives, a later NaN is skipped
// and of equal values the earlier one wins.
struct MinStep { static double apply(double acc, double v) { return v < acc ? v : acc; } };
struct MaxStep { static double apply(double acc, double v) { return v > acc ? v : acc; } };

// How many operands an operation's apply takes.
template <class Op>
constexpr int arity = requires { Op::apply(0.0); }                ? 1
                      : requires { Op::apply(0.0, 0.0); }      ? 2
                      : requires { Op::apply(0.0, 0.0, 0.0); } ? 3
                                                               : 0;

}  // namespace op
}  // namespace tarnex
