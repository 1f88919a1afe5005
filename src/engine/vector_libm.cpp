// Built for x86-64-v4 only. Each function follows the disassembly of the FMA
// variant of the platform's libm step for step: the same operations on the
// same operands in the same order, fused exactly where that code fuses (the
// build forbids any other contraction). Reordering a sum or fusing one more
// product would change some results in the last bit.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "vector_libm.h"
#include "vector_libm_constants.h"
#include "vector_libm_tables.h"

namespace tarnex::detail {
namespace {

using namespace vlibm;

__m512d broadcast(double value) { return _mm512_set1_pd(value); }
__m512i broadcastBits(uint64_t bits) { return _mm512_set1_epi64(static_cast<long long>(bits)); }
__m512d asDouble(__m512i bits) { return _mm512_castsi512_pd(bits); }
__m512i asBits(__m512d value) { return _mm512_castpd_si512(value); }

// Shifts of every lane by a constant, written with GCC's vector operators:
// GCC 12's shift intrinsics warn of an uninitialised operand of their own.
__m512i shiftRight(__m512i bits, int count) { return reinterpret_cast<__m512i>(reinterpret_cast<__v8du>(bits) >> count); }
__m512i shiftRightSigned(__m512i bits, int count) {
    return reinterpret_cast<__m512i>(reinterpret_cast<__v8di>(bits) >> count);
}
__m512i shiftLeft(__m512i bits, int count) { return reinterpret_cast<__m512i>(reinterpret_cast<__v8du>(bits) << count); }

// Lanes where `bits - low`, as unsigned, is at least `width`: outside [low, low + width).
__mmask8 outside(__m512i bits, uint64_t low, uint64_t width) {
    return _mm512_cmpge_epu64_mask(_mm512_sub_epi64(bits, broadcastBits(low)), broadcastBits(width));
}

// The helpers below are forced inline: each kernel is one loop body in
// registers, and GCC otherwise keeps the larger ones as calls.

// Table lookups: each lane loads its whole row (two or four doubles) with
// one load, and a transpose turns the eight rows into columns. On the AMD
// EPYC measured this beat gathers (3.8 against 1.0 ns per exp) and permutes
// within the 128-entry columns held in registers (1.7 ns per exp: 16 loads
// and 15 shuffles per column).
template <int columns>
struct alignas(8 * columns) Row {
    double value[columns];
};

template <int columns, class... Columns>
constexpr std::array<Row<columns>, 128> rows(const Columns&... column) {
    std::array<Row<columns>, 128> table{};
    for (size_t i = 0; i < 128; ++i) {
        int c = 0;
        ((table[i].value[c++] = std::bit_cast<double>(column[i])), ...);
    }
    return table;
}

alignas(64) constexpr auto EXP_ROWS = rows<2>(EXP_TAIL, EXP_SCALE);
alignas(64) constexpr auto LOG_ROWS = rows<2>(LOG_INVC, LOG_LOGC);
// pow's rows are padded to four doubles, so each is one aligned load.
alignas(64) constexpr auto POW_LOG_ROWS = rows<4>(POW_INVC, POW_LOGC, POW_LOGCTAIL, POW_INVC);

// Joins two vectors into one of twice the width (GCC's shuffles: the
// intrinsics for this warn of an uninitialised operand of their own in GCC 12).
[[gnu::always_inline]] inline __m256d join(__m128d low, __m128d high) { return __builtin_shufflevector(low, high, 0, 1, 2, 3); }
[[gnu::always_inline]] inline __m512d join(__m256d low, __m256d high) {
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}

// Columns 0 and 1 of the rows at `index`.
[[gnu::always_inline]] inline void lookup2(const std::array<Row<2>, 128>& table, __m512i index, __m512d& c0, __m512d& c1) {
    alignas(64) uint64_t at[8];
    _mm512_store_si512(at, index);
    auto row = [&](int lane) { return _mm_load_pd(table[at[lane]].value); };
    const __m512d low = join(join(row(0), row(1)), join(row(2), row(3)));
    const __m512d high = join(join(row(4), row(5)), join(row(6), row(7)));
    c0 = __builtin_shufflevector(low, high, 0, 2, 4, 6, 8, 10, 12, 14);
    c1 = __builtin_shufflevector(low, high, 1, 3, 5, 7, 9, 11, 13, 15);
}

// Columns 0, 1 and 2 of the rows at `index`.
[[gnu::always_inline]] inline void lookup3(const std::array<Row<4>, 128>& table, __m512i index, __m512d& c0, __m512d& c1,
                                           __m512d& c2) {
    alignas(64) uint64_t at[8];
    _mm512_store_si512(at, index);
    auto rows = [&](int lane) {
        return join(_mm256_load_pd(table[at[lane]].value), _mm256_load_pd(table[at[lane + 4]].value));
    };
    const __m512d z0 = rows(0), z1 = rows(1), z2 = rows(2), z3 = rows(3);
    // Lanes 0..7 of a column come from rows 0, 1, 2, 3 (low halves) and 4, 5, 6, 7 (high halves).
    const __m512d even01 = __builtin_shufflevector(z0, z1, 0, 8, 2, 10, 4, 12, 6, 14);
    const __m512d odd01 = __builtin_shufflevector(z0, z1, 1, 9, 3, 11, 5, 13, 7, 15);
    const __m512d even23 = __builtin_shufflevector(z2, z3, 0, 8, 2, 10, 4, 12, 6, 14);
    const __m512d odd23 = __builtin_shufflevector(z2, z3, 1, 9, 3, 11, 5, 13, 7, 15);
    c0 = __builtin_shufflevector(even01, even23, 0, 1, 8, 9, 4, 5, 12, 13);
    c1 = __builtin_shufflevector(odd01, odd23, 0, 1, 8, 9, 4, 5, 12, 13);
    c2 = __builtin_shufflevector(even01, even23, 2, 3, 10, 11, 6, 7, 14, 15);
}

// exp(x + xtail) with the result's sign bit added to the scale's exponent
// as `sign_bias` (pow's odd powers of negative numbers). Lanes whose x is
// outside the main path's range are marked in `special` and left to the
// caller.
template <bool with_tail>
[[gnu::always_inline]] inline __m512d expMain(__m512d x, __m512d xtail, __m512i sign_bias, __mmask8& special) {
    const __m512i abstop = _mm512_and_si512(shiftRight(asBits(x), 52), broadcastBits(0x7ff));
    special = outside(abstop, 0x3c9, 0x3f);
    const __m512d shift = broadcast(EXP_SHIFT);
    __m512d kd = _mm512_fmadd_pd(x, broadcast(EXP_INV_LN2_N), shift);
    const __m512i ki = asBits(kd);
    kd = _mm512_sub_pd(kd, shift);
    __m512d r = _mm512_fmadd_pd(kd, broadcast(EXP_NEG_LN2_HI_N), x);
    r = _mm512_fmadd_pd(kd, broadcast(EXP_NEG_LN2_LO_N), r);
    if constexpr (with_tail) r = _mm512_add_pd(xtail, r);
    const __m512i index = _mm512_and_si512(ki, broadcastBits(127));
    const __m512i top = shiftLeft(_mm512_add_epi64(ki, sign_bias), 45);
    __m512d tail, scale_base;
    lookup2(EXP_ROWS, index, tail, scale_base);
    const __m512d scale = asDouble(_mm512_add_epi64(asBits(scale_base), top));
    const __m512d r_tail = _mm512_add_pd(r, tail);
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d c23 = _mm512_fmadd_pd(r, broadcast(EXP_C3), broadcast(EXP_C2));
    const __m512d c45 = _mm512_fmadd_pd(r, broadcast(EXP_C5), broadcast(EXP_C4));
    const __m512d low = _mm512_fmadd_pd(c23, r2, r_tail);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    const __m512d tmp = _mm512_fmadd_pd(c45, r4, low);
    return _mm512_fmadd_pd(scale, tmp, scale);
}

[[gnu::always_inline]] inline __m512d expLanes(__m512d x, __mmask8& special) {
    __m512d y = expMain<false>(x, x, _mm512_setzero_si512(), special);
    // |x| < 2^-54, 0 among them: 1 + x, without the tables.
    const __m512i abstop = _mm512_and_si512(shiftRight(asBits(x), 52), broadcastBits(0x7ff));
    const __mmask8 tiny = _mm512_cmplt_epu64_mask(abstop, broadcastBits(0x3c9));
    special &= static_cast<__mmask8>(~tiny);
    return _mm512_mask_add_pd(y, tiny, broadcast(1.0), x);
}

// log away from 1: x = 2^k z with z in [OFF, 2 OFF), OFF = 0x3fe6000000000000.
[[gnu::always_inline]] inline __m512d logMain(__m512i ix) {
    const __m512i tmp = _mm512_sub_epi64(ix, broadcastBits(0x3fe6000000000000));
    const __m512i index = _mm512_and_si512(shiftRight(tmp, 45), broadcastBits(127));
    const __m512d kd = _mm512_cvtepi64_pd(shiftRightSigned(tmp, 52));
    const __m512d z = asDouble(_mm512_sub_epi64(ix, _mm512_and_si512(tmp, broadcastBits(0xfff0000000000000))));
    __m512d invc, logc;
    lookup2(LOG_ROWS, index, invc, logc);
    const __m512d r = _mm512_fmadd_pd(z, invc, broadcast(-1.0));
    const __m512d w = _mm512_fmadd_pd(kd, broadcast(LN2_HI), logc);
    const __m512d hi = _mm512_add_pd(r, w);
    const __m512d lo = _mm512_fmadd_pd(kd, broadcast(LN2_LO), _mm512_add_pd(_mm512_sub_pd(w, hi), r));
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d a12 = _mm512_fmadd_pd(r, broadcast(LOG_A[2]), broadcast(LOG_A[1]));
    const __m512d a34 = _mm512_fmadd_pd(r, broadcast(LOG_A[4]), broadcast(LOG_A[3]));
    const __m512d r3 = _mm512_mul_pd(r, r2);
    const __m512d lo2 = _mm512_fmadd_pd(r2, broadcast(LOG_A[0]), lo);
    const __m512d poly = _mm512_fmadd_pd(a34, r2, a12);
    return _mm512_add_pd(_mm512_fmadd_pd(r3, poly, lo2), hi);
}

// log near 1, where r = x - 1 is exact and r^2/2 is split to keep its bits.
[[gnu::always_inline]] inline __m512d logNearOne(__m512d x) {
    const __m512d r = _mm512_sub_pd(x, broadcast(1.0));
    auto b = [](int i) { return broadcast(LOG_B[i]); };
    __m512d b12 = _mm512_fmadd_pd(r, b(2), b(1));
    __m512d b45 = _mm512_fmadd_pd(r, b(5), b(4));
    const __m512d b78 = _mm512_fmadd_pd(r, b(8), b(7));
    const __m512d r2 = _mm512_mul_pd(r, r);
    b12 = _mm512_fmadd_pd(r2, b(3), b12);
    b45 = _mm512_fmadd_pd(r2, b(6), b45);
    const __m512d r3 = _mm512_mul_pd(r, r2);
    __m512d poly = _mm512_fmadd_pd(r3, b(10), _mm512_fmadd_pd(r2, b(9), b78));
    poly = _mm512_fmadd_pd(_mm512_fmadd_pd(poly, r3, b45), r3, b12);
    const __m512d split = broadcast(0x1p27);
    const __m512d rhi = _mm512_fnmadd_pd(split, r, _mm512_fmadd_pd(r, split, r));
    const __m512d rhi2 = _mm512_mul_pd(rhi, rhi);
    const __m512d rlo = _mm512_sub_pd(r, rhi);
    const __m512d hi = _mm512_fmadd_pd(rhi2, b(0), r);
    __m512d lo = _mm512_fmadd_pd(rhi2, b(0), _mm512_sub_pd(r, hi));
    lo = _mm512_fmadd_pd(_mm512_mul_pd(b(0), rlo), _mm512_add_pd(r, rhi), lo);
    return _mm512_add_pd(hi, _mm512_fmadd_pd(poly, r3, lo));
}

[[gnu::always_inline]] inline __m512d logLanes(__m512d x, __mmask8& special) {
    const __m512i ix = asBits(x);
    const __m512i top = shiftRight(ix, 48);
    // Zero, negative, subnormal, infinite and NaN inputs.
    special = _mm512_cmpgt_epu64_mask(_mm512_sub_epi64(top, broadcastBits(0x10)), broadcastBits(0x7fdf));
    const __mmask8 near_one = static_cast<__mmask8>(
        ~outside(ix, 0x3fee000000000000, 0x3090000000000) & ~special);
    __m512d y = logMain(ix);
    if (near_one) y = _mm512_mask_mov_pd(y, near_one, logNearOne(x));
    if (!special) return y;
    // The libm's answers that need no table: -inf for zeros, x for +inf, and
    // its invalid operation (x - x) / (x - x) for negative and NaN inputs.
    const __mmask8 zero = _mm512_testn_epi64_mask(shiftLeft(ix, 1), shiftLeft(ix, 1));
    const __mmask8 infinite = _mm512_cmpeq_epu64_mask(ix, broadcastBits(0x7ff0000000000000));
    const __mmask8 invalid = _mm512_cmpge_epu64_mask(top, broadcastBits(0x7ff0)) & static_cast<__mmask8>(~(zero | infinite));
    const __m512d none = _mm512_sub_pd(x, x);
    y = _mm512_mask_mov_pd(y, zero, broadcast(-std::numeric_limits<double>::infinity()));
    y = _mm512_mask_mov_pd(y, infinite, x);
    y = _mm512_mask_div_pd(y, invalid, none, none);
    special &= static_cast<__mmask8>(~(zero | infinite | invalid));
    return y;
}

// pow's log(x) as y + tail, with about 15 bits beyond y's.
[[gnu::always_inline]] inline __m512d powLog(__m512i ix, __m512d& tail) {
    const __m512i tmp = _mm512_sub_epi64(ix, broadcastBits(0x3fe6955500000000));
    const __m512i index = _mm512_and_si512(shiftRight(tmp, 45), broadcastBits(127));
    const __m512d kd = _mm512_cvtepi64_pd(shiftRightSigned(tmp, 52));
    const __m512d z = asDouble(_mm512_sub_epi64(ix, _mm512_and_si512(tmp, broadcastBits(0xfff0000000000000))));
    auto a = [](int i) { return broadcast(POW_A[i]); };
    __m512d invc, logc, logctail;
    lookup3(POW_LOG_ROWS, index, invc, logc, logctail);
    const __m512d t1 = _mm512_fmadd_pd(kd, broadcast(LN2_HI), logc);
    const __m512d lo1 = _mm512_fmadd_pd(kd, broadcast(LN2_LO), logctail);
    const __m512d r = _mm512_fmadd_pd(z, invc, broadcast(-1.0));
    const __m512d ar = _mm512_mul_pd(r, a(0));
    const __m512d a12 = _mm512_fmadd_pd(r, a(2), a(1));
    const __m512d a34 = _mm512_fmadd_pd(r, a(4), a(3));
    const __m512d t2 = _mm512_add_pd(r, t1);
    const __m512d ar2 = _mm512_mul_pd(r, ar);
    const __m512d ar3 = _mm512_mul_pd(r, ar2);
    const __m512d lo3 = _mm512_fmsub_pd(ar, r, ar2);
    const __m512d lo2 = _mm512_add_pd(_mm512_sub_pd(t1, t2), r);
    const __m512d a56 = _mm512_fmadd_pd(r, a(6), a(5));
    const __m512d hi = _mm512_add_pd(t2, ar2);
    const __m512d lo4 = _mm512_add_pd(_mm512_sub_pd(t2, hi), ar2);
    const __m512d poly = _mm512_fmadd_pd(ar2, _mm512_fmadd_pd(a56, ar2, a34), a12);
    const __m512d sum = _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(lo1, lo2), lo3), lo4);
    const __m512d lo = _mm512_fmadd_pd(ar3, poly, sum);
    const __m512d y = _mm512_add_pd(hi, lo);
    tail = _mm512_add_pd(_mm512_sub_pd(hi, y), lo);
    return y;
}

// Lanes where the finite, non-zero y (bits iy) is an integer, and the odd ones.
[[gnu::always_inline]] inline __mmask8 integers(__m512i iy, __mmask8& odd) {
    const __m512i e = _mm512_and_si512(shiftRight(iy, 52), broadcastBits(0x7ff));
    const __mmask8 large = _mm512_cmpgt_epu64_mask(e, broadcastBits(0x433));  // even
    const __mmask8 mixed = _mm512_cmpge_epu64_mask(e, broadcastBits(0x3ff)) & static_cast<__mmask8>(~large);
    // Zero-masked, the shift counts of the other lanes (out of range) go unused.
    const __m512i unit = _mm512_maskz_sllv_epi64(mixed, broadcastBits(1), _mm512_sub_epi64(broadcastBits(0x433), e));
    const __m512i fraction = _mm512_and_si512(iy, _mm512_sub_epi64(unit, broadcastBits(1)));
    const __mmask8 whole = mixed & _mm512_testn_epi64_mask(fraction, fraction);
    odd = whole & _mm512_test_epi64_mask(iy, unit);
    return whole | large;
}

// Lanes of a negative, normal x (top bits topx).
[[gnu::always_inline]] inline __mmask8 negativeNormal(__m512i topx) {
    return static_cast<__mmask8>(~outside(topx, 0x801, 0x7fe));
}

// Lanes of a negative x and a finite, non-zero y that is no integer: the
// libm's invalid operation, whose result is (x - x) / (x - x).
[[gnu::always_inline]] inline __mmask8 invalidPow(__mmask8 x_negative, __m512i iy, __mmask8 whole) {
    const __mmask8 y_finite_nonzero = _mm512_cmplt_epu64_mask(_mm512_sub_epi64(shiftLeft(iy, 1), broadcastBits(1)),
                                                              broadcastBits(0xffdfffffffffffff));
    return x_negative & y_finite_nonzero & static_cast<__mmask8>(~whole);
}

// (x - x) / (x - x) for a finite x is 0 / 0, whose result on every x86-64
// CPU is the default NaN: a division spared.
[[gnu::always_inline]] inline __m512d invalidResult() { return asDouble(broadcastBits(0xfff8000000000000)); }

[[gnu::always_inline]] inline __m512d powLanes(__m512d x, __m512d y, __mmask8& special) {
    const __m512i ix = asBits(x), iy = asBits(y);
    const __m512i topx = shiftRight(ix, 52);
    const __m512i y_exponent = _mm512_and_si512(shiftRight(iy, 52), broadcastBits(0x7ff));
    const __mmask8 y_usual = static_cast<__mmask8>(~outside(y_exponent, 0x3be, 0x80));
    const __mmask8 x_usual = static_cast<__mmask8>(~outside(topx, 1, 0x7fe));
    const __mmask8 x_negative = negativeNormal(topx);
    __mmask8 odd;
    const __mmask8 whole = integers(iy, odd);
    const __mmask8 main = y_usual & (x_usual | (x_negative & whole));
    const __mmask8 invalid = invalidPow(x_negative, iy, whole);
    const __m512i sign_bias = _mm512_maskz_mov_epi64(x_negative & odd, broadcastBits(0x800 << 7));
    const __m512i abs_ix = _mm512_and_si512(ix, broadcastBits(0x7fffffffffffffff));
    __m512d tail;
    const __m512d hi = powLog(abs_ix, tail);
    const __m512d ehi = _mm512_mul_pd(y, hi);
    const __m512d elo = _mm512_fmadd_pd(y, tail, _mm512_fmsub_pd(hi, y, ehi));
    __mmask8 exp_special;
    const __m512d result = expMain<true>(ehi, elo, sign_bias, exp_special);
    special = static_cast<__mmask8>((~main | exp_special) & ~invalid);
    return _mm512_mask_mov_pd(result, invalid, invalidResult());
}

__mmask8 liveLanes(uint64_t left) { return left >= 8 ? 0xff : static_cast<__mmask8>((1u << left) - 1); }

// Recomputes the `special` lanes of `y` with the libm. Rarely called, and
// kept out of the loops: inlined, its arrays and calls cost the loop bodies
// registers and stack stores on every turn.
template <class Libm>
[[gnu::noinline, gnu::cold]] __m512d byLibm(__m512d y, __mmask8 special, __m512d a, __m512d b, Libm libm) {
    alignas(64) double as[8], bs[8], ys[8];
    _mm512_store_pd(as, a);
    _mm512_store_pd(bs, b);
    _mm512_store_pd(ys, y);
    for (unsigned lanes = special; lanes; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes);
        ys[lane] = libm(as[lane], bs[lane]);
    }
    return _mm512_load_pd(ys);
}

// The loop of every kernel: whole vectors, then a masked one for the rest.
// All of a vector's inputs are read before its results are written, so dst
// may be an input.
template <class Lanes, class Libm>
void vectorLoop(uint64_t count, double* dst, const double* a, const double* b, Form form, Lanes lanes, Libm libm) {
    const __m512d a_value = form == CV ? broadcast(*a) : __m512d{};
    const __m512d b_value = form == VC ? broadcast(*b) : __m512d{};
    uint64_t i = 0;
    // Two vectors a turn: their chains are independent, and a core has the
    // units to run both while one waits on its table loads.
    for (; i + 16 <= count; i += 16) {
        const __m512d x0 = form == CV ? a_value : _mm512_loadu_pd(a + i);
        const __m512d x1 = form == CV ? a_value : _mm512_loadu_pd(a + i + 8);
        const __m512d y0 = form == VC ? b_value : b ? _mm512_loadu_pd(b + i) : x0;
        const __m512d y1 = form == VC ? b_value : b ? _mm512_loadu_pd(b + i + 8) : x1;
        __mmask8 special0, special1;
        __m512d result0 = lanes(x0, y0, special0);
        __m512d result1 = lanes(x1, y1, special1);
        if (special0) result0 = byLibm(result0, special0, x0, y0, libm);
        if (special1) result1 = byLibm(result1, special1, x1, y1, libm);
        _mm512_storeu_pd(dst + i, result0);
        _mm512_storeu_pd(dst + i + 8, result1);
    }
    for (; i < count; i += 8) {
        const __mmask8 live = liveLanes(count - i);
        const __m512d x = form == CV ? a_value : _mm512_maskz_loadu_pd(live, a + i);
        const __m512d y = form == VC ? b_value : b ? _mm512_maskz_loadu_pd(live, b + i) : x;
        __mmask8 special;
        __m512d result = lanes(x, y, special);
        special &= live;
        if (special) result = byLibm(result, special, x, y, libm);
        _mm512_mask_storeu_pd(dst + i, live, result);
    }
}

}  // namespace

void vectorExp(uint64_t count, double* dst, const double* a) {
    vectorLoop(
        count, dst, a, nullptr, VV, [](__m512d x, __m512d, __mmask8& s) { return expLanes(x, s); },
        [](double x, double) { return std::exp(x); });
}

void vectorLog(uint64_t count, double* dst, const double* a) {
    vectorLoop(
        count, dst, a, nullptr, VV, [](__m512d x, __m512d, __mmask8& s) { return logLanes(x, s); },
        [](double x, double) { return std::log(x); });
}

namespace {

void powLoop(uint64_t count, double* dst, const double* a, const double* b, Form form) {
    vectorLoop(
        count, dst, a, b, form, [](__m512d x, __m512d y, __mmask8& s) { return powLanes(x, y, s); },
        [](double x, double y) { return std::pow(x, y); });
}

// The libm returns the NaN of a negative base to a power that is no integer
// at once. Where a stretch has many such lanes (bases of either sign), they
// get that NaN here, and the other lanes are packed into whole vectors, so
// that the kernel computes only those.
constexpr uint64_t STRETCH = 256;
constexpr uint64_t FEW_INVALID = STRETCH / 8;

// Whether packing may spare work in a stretch: a lane may be invalid, and at
// least FEW_INVALID of its bases have their sign bit set. A single power
// that is an integer, infinite or NaN makes no lane invalid.
bool packingPays(uint64_t length, const double* a, const double* b, Form form) {
    if (form == VC && (!std::isfinite(*b) || std::trunc(*b) == *b)) return false;
    if (form == CV) return std::signbit(*a);
    uint64_t negative = 0;
    for (uint64_t i = 0; i < length; i += 8)
        negative += static_cast<uint64_t>(std::popcount(_mm512_movepi64_mask(_mm512_castpd_si512(
            _mm512_maskz_loadu_pd(liveLanes(length - i), a + i)))));
    return negative >= FEW_INVALID;
}

}  // namespace

void vectorPow(uint64_t count, double* dst, const double* a, const double* b, Form form) {
    alignas(64) double xs[STRETCH + 8], ys[STRETCH + 8], results[STRETCH + 8];
    __mmask8 kept[STRETCH / 8];
    for (uint64_t start = 0; start < count; start += STRETCH) {
        const uint64_t length = std::min(STRETCH, count - start);
        const double* a_stretch = form == CV ? a : a + start;
        const double* b_stretch = form == VC ? b : b + start;
        if (!packingPays(length, a_stretch, b, form)) {
            powLoop(length, dst + start, a_stretch, b_stretch, form);
            continue;
        }
        uint64_t packed = 0;
        for (uint64_t v = 0; v * 8 < length; ++v) {
            const uint64_t i = start + v * 8;
            const __mmask8 live = liveLanes(length - v * 8);
            const __m512d x = form == CV ? broadcast(*a) : _mm512_maskz_loadu_pd(live, a + i);
            const __m512d y = form == VC ? broadcast(*b) : _mm512_maskz_loadu_pd(live, b + i);
            // For the finite y that count here, an integer is its own truncation.
            const __m512d truncated = _mm512_maskz_roundscale_pd(0xff, y, _MM_FROUND_TO_ZERO);
            const __mmask8 whole = _mm512_cmp_pd_mask(truncated, y, _CMP_EQ_OQ);
            const __mmask8 invalid = invalidPow(negativeNormal(shiftRight(asBits(x), 52)), asBits(y), whole);
            kept[v] = live & static_cast<__mmask8>(~invalid);
            _mm512_storeu_pd(xs + packed, _mm512_maskz_compress_pd(kept[v], x));
            _mm512_storeu_pd(ys + packed, _mm512_maskz_compress_pd(kept[v], y));
            packed += static_cast<uint64_t>(std::popcount(kept[v]));
        }
        if (length - packed < FEW_INVALID) {
            powLoop(length, dst + start, a_stretch, b_stretch, form);
            continue;
        }
        powLoop(packed, results, xs, ys, VV);
        for (uint64_t v = 0, unpacked = 0; v * 8 < length; ++v) {
            const uint64_t i = start + v * 8;
            const __mmask8 live = liveLanes(length - v * 8);
            const auto lanes = static_cast<uint64_t>(std::popcount(kept[v]));
            const __m512d result = _mm512_maskz_loadu_pd(liveLanes(lanes), results + unpacked);
            _mm512_mask_storeu_pd(dst + i, live, _mm512_mask_expand_pd(invalidResult(), kept[v], result));
            unpacked += lanes;
        }
    }
}

}  // namespace tarnex::detail

namespace tarnex::detail {
namespace {

// The block route's kernels at this level: the vector kernel while the
// guard allows it, the libm element by element otherwise.
void expKernel(uint64_t count, double* dst, const double* a, const double*, const double*) {
    if (vectorLibmAllowed(VectorLibmFunction::EXP)) return vectorExp(count, dst, a);
    for (uint64_t i = 0; i < count; ++i) dst[i] = op::Exp::apply(a[i]);
}

void logKernel(uint64_t count, double* dst, const double* a, const double*, const double*) {
    if (vectorLibmAllowed(VectorLibmFunction::LOG)) return vectorLog(count, dst, a);
    for (uint64_t i = 0; i < count; ++i) dst[i] = op::Log::apply(a[i]);
}

template <Form form>
void powKernel(uint64_t count, double* dst, const double* a, const double* b, const double*) {
    if (vectorLibmAllowed(VectorLibmFunction::POW)) return vectorPow(count, dst, a, b, form);
    for (uint64_t i = 0; i < count; ++i) dst[i] = op::Pow::apply(form == CV ? *a : a[i], form == VC ? *b : b[i]);
}

}  // namespace

void addVectorLibmKernels(KernelSet& set) {
    set.kernels[builtinKernel(BuiltinFunc::EXP, VV)] = expKernel;
    set.kernels[builtinKernel(BuiltinFunc::LOG, VV)] = logKernel;
    set.kernels[builtinKernel(BuiltinFunc::POW, VV)] = powKernel<VV>;
    set.kernels[builtinKernel(BuiltinFunc::POW, VC)] = powKernel<VC>;
    set.kernels[builtinKernel(BuiltinFunc::POW, CV)] = powKernel<CV>;
}

}  // namespace tarnex::detail
