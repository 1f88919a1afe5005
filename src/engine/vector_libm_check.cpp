// The guard's check set. Built for baseline x86-64.
#include "vector_libm_check.h"

#include <bit>
#include <cmath>
#include <limits>

#include "vector_libm.h"

namespace tarnex::detail {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NAN_ = std::numeric_limits<double>::quiet_NaN();
constexpr double MAX = std::numeric_limits<double>::max();
constexpr double MIN_NORMAL = std::numeric_limits<double>::min();
constexpr double MIN_SUBNORMAL = std::numeric_limits<double>::denorm_min();
constexpr int RANDOM_INPUTS = 64 * 1024;
constexpr int THRESHOLD_ULPS = 8;

// Inputs on which the libm's variant without FMA (GLIBC_TUNABLES masking
// AVX2 and FMA) gives other bits than its FMA variant, found with the
// verification tool's --differences; as bit patterns (for pow, x then y).
constexpr uint64_t EXP_VARIANT_INPUTS[] = {
    0x4074daed060e7354, 0x4070bc66b7d91f0e, 0xc07e7bd2ed8143e7, 0xc06aca9c9b159db4, 0x4079ba41ad6cd318,
    0xc06a7dc95f490be4, 0x406c4ccb76f52bbc, 0xc06ff598bc0ad352, 0x3fe00e283313aab0, 0x3f937330516bddc0,
    0xbfe6ead882c1fbb2, 0x3fee9c5f44666df6, 0xbfbdf575f0366167, 0x3fea7bf938c37a65, 0xbf66d714a7efbf4b,
    0x3f6b6f052f3bb5a6};
constexpr uint64_t LOG_VARIANT_INPUTS[] = {
    0x7d85f843cde12eb3, 0x3ff163fcb8e2952e, 0x3fee6144b5d5ba7f, 0x3feee19d362e3dfd, 0x3fed9b7b067082cf,
    0x3ff16b835c2e824a, 0x3ff0a6cfe9da14e5, 0x3ff1050a2e94d0d1, 0x3ff154129a6afcaf, 0x3fed491e76478af3,
    0x3fecea80b500495e, 0x3ff15b7852c96976, 0x3ff0faeda0141ad3, 0x4050cdb14a80e5ed, 0x3ff207e85f0ebde6,
    0x403e13d1085fcc25};
constexpr uint64_t POW_VARIANT_INPUTS[] = {
    0x3febe50a41f6e0e2, 0xc090c8000000003a, 0x3feb595a786230be, 0xc090c80000000020, 0x3ff2fa0393a53e84,
    0xc090cbfffffffffb, 0x3fe000000000000d, 0x3ff02c24f7ecd180, 0x3fe0000000000008, 0xc02ddf0025464665,
    0x413222769c2cb062, 0x4039cb7c1e20e164, 0x3ee2fa28b8d9bfa7, 0x40034d9ec0726060, 0x3f8daf2553703133,
    0x4017c5b46be49d58, 0xc01c8a9e168e8c44, 0xc030000000000000, 0xc02004d2c5858da3, 0xc045800000000000,
    0x40002f08a6d47183, 0xc022d079d0cf6c48, 0x3ff2b3478ad84a1a, 0xc03302079549284e, 0x2157f3edca518d7d,
    0xbfe5366c32534120, 0x38bdb5f59b254d27, 0xbff1593eec49fc8e, 0x04a08a7fdd2dd527, 0xbfc45b8060a890f0,
    0x5566a6f2fb6b7847, 0x3fa036ebc23c3a73};

double fromBits(uint64_t bits) { return std::bit_cast<double>(bits); }

// `value` and its neighbours up to `ulps` bit patterns either side.
template <class Add>
void around(Add& add, double value, int ulps) {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    for (int64_t step = -ulps; step <= ulps; ++step) add(std::bit_cast<double>(bits + static_cast<uint64_t>(step)));
}

// Each set is written once, as the inputs it hands to `add(a, b)` in order;
// exp and log repeat a as b.
template <class Add>
void expInputs(Add& add) {
    const auto one = [&](double x) { add(x, x); };
    for (double x : {0.0, -0.0, 1.0, -1.0, INF, -INF, NAN_, -NAN_, MAX, -MAX, MIN_NORMAL, -MIN_NORMAL, MIN_SUBNORMAL,
                     -MIN_SUBNORMAL})
        one(x);
    for (double threshold : {0x1p-54, 512.0, 1024.0, 0x1.62e42fefa39efp+9, 0x1.74910d52d3051p+9,
                             0x1.6232bdd7abcd2p+9})
        for (double sign : {1.0, -1.0}) around(one, sign * threshold, THRESHOLD_ULPS);
    for (int k = -1024; k < 1024; ++k) one((k + 0.3) * 0x1.62e42fefa39efp-1 / 128);
    for (uint64_t bits : EXP_VARIANT_INPUTS) one(fromBits(bits));
    Bits64 random{1};
    for (int i = 0; i < RANDOM_INPUTS / 2; ++i) one(random.uniform(-745.5, 710.0));
    for (int i = 0; i < RANDOM_INPUTS / 2; ++i) one(random.uniform(-2.0, 2.0));
}

template <class Add>
void logInputs(Add& add) {
    const auto one = [&](double x) { add(x, x); };
    for (double x : {0.0, -0.0, 1.0, -1.0, INF, -INF, NAN_, -NAN_, MAX, -2.0, MIN_SUBNORMAL, 1e-310}) one(x);
    for (uint64_t threshold : {0x3fee000000000000ull, 0x3ff1090000000000ull, 0x0010000000000000ull,
                               0x3ff0000000000000ull, 0x7fefffffffffffffull})
        around(one, fromBits(threshold), THRESHOLD_ULPS);
    for (int index = 0; index < 128; ++index)
        for (double fraction : {0.0, 0.37, 0.999})
            for (double scale : {0x1p-1000, 0x1p-7, 1.0, 0x1p9, 0x1p1000})
                one(scale * logTableInput(VectorLibmFunction::LOG, index, fraction));
    for (uint64_t bits : LOG_VARIANT_INPUTS) one(fromBits(bits));
    Bits64 random{2};
    for (int i = 0; i < RANDOM_INPUTS / 2; ++i) one(fromBits(random.next() % 0x7ff0000000000000));
    for (int i = 0; i < RANDOM_INPUTS / 4; ++i) one(random.uniform(0.9, 1.1));
    for (int i = 0; i < RANDOM_INPUTS / 4; ++i) one(random.uniform(0.0, 10.0));
}

template <class Add>
void powSpecials(Add& add) {
    for (double x : {0.0, -0.0, 1.0, -1.0, INF, -INF, NAN_, 2.0, -2.0, 0.5, -0.5, 1e-310, -1e-310, MAX, 10.0})
        for (double y : {0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 3.0, -3.0, 0.5, -0.5, INF, -INF, NAN_, 0x1p-66, 0x1p-65,
                         0x1p63, 1e300, 1075.0, -1075.0, 0x1p53 - 1, 0x1p53, 1e-20})
            add(x, y);
}

template <class Add>
void powThresholds(Add& add) {
    auto pairs = [&](double x, double y) {
        const auto with_x = [&](double each) { add(x, each); };
        around(with_x, y, THRESHOLD_ULPS);
    };
    for (double y : {0x1p-65, -0x1p-65, 0x1p63, -0x1p63}) pairs(1.5, y);
    for (double y : {1024.0, -1022.0, -1074.0, -1075.0, 0x1.0p9, -0x1.0p9}) pairs(2.0, y);
    for (double y : {709.782712893384, -708.3964185322641, -745.1332191019411}) pairs(std::exp(1.0), y);
}

template <class Add>
void powInputs(Add& add) {
    powSpecials(add);
    powThresholds(add);
    for (int index = 0; index < 128; ++index)
        for (double fraction : {0.0, 0.5, 0.999})
            for (double y : {2.5, -3.0, 0.1}) add(logTableInput(VectorLibmFunction::POW, index, fraction), y);
    for (size_t i = 0; i + 1 < std::size(POW_VARIANT_INPUTS); i += 2)
        add(fromBits(POW_VARIANT_INPUTS[i]), fromBits(POW_VARIANT_INPUTS[i + 1]));
    Bits64 random{3};
    for (int i = 0; i < RANDOM_INPUTS / 4; ++i) add(random.uniform(0.0, 4.0), random.uniform(-30.0, 30.0));
    for (int i = 0; i < RANDOM_INPUTS / 4; ++i)
        add(fromBits(random.next() % 0x7ff0000000000000), random.uniform(-2.0, 2.0));
    for (int i = 0; i < RANDOM_INPUTS / 4; ++i)
        add(random.uniform(-10.0, 10.0), static_cast<double>(static_cast<int>(random.next() % 41) - 20));
    for (int i = 0; i < RANDOM_INPUTS / 4; ++i) add(random.uniform(0.5, 2.0), random.uniform(-600.0, 600.0));
}

template <class Add>
void checkInputs(VectorLibmFunction f, Add& add) {
    switch (f) {
        case VectorLibmFunction::EXP: return expInputs(add);
        case VectorLibmFunction::LOG: return logInputs(add);
        case VectorLibmFunction::POW: return powInputs(add);
    }
}

}  // namespace

double logTableInput(VectorLibmFunction f, int index, double fraction) {
    const uint64_t off = f == VectorLibmFunction::POW ? 0x3fe6955500000000 : 0x3fe6000000000000;
    const uint64_t run = uint64_t{1} << 45;
    return fromBits(off + static_cast<uint64_t>(index) * run + static_cast<uint64_t>(fraction * static_cast<double>(run)));
}

CheckSet vectorLibmCheckSet(VectorLibmFunction f) {
    constexpr size_t CAPACITY = RANDOM_INPUTS + 8192;
    CheckSet set;
    set.a.reserve(CAPACITY);
    set.b.reserve(CAPACITY);
    auto add = [&](double a, double b) { set.a.push_back(a), set.b.push_back(b); };
    checkInputs(f, add);
    return set;
}

bool checkInChunks(VectorLibmFunction f, const std::function<bool(size_t, const double*, const double*)>& check) {
    double a[CHECK_CHUNK], b[CHECK_CHUNK];
    size_t count = 0;
    bool agreed = true;
    const auto flush = [&] {
        if (agreed && count > 0) agreed = check(count, a, b);
        count = 0;
    };
    auto add = [&](double x, double y) {
        a[count] = x, b[count] = y;
        if (++count == CHECK_CHUNK) flush();
    };
    checkInputs(f, add);
    flush();
    return agreed;
}

double libmValue(VectorLibmFunction f, double a, double b) {
    switch (f) {
        case VectorLibmFunction::EXP: return std::exp(a);
        case VectorLibmFunction::LOG: return std::log(a);
        case VectorLibmFunction::POW: return std::pow(a, b);
    }
    return NAN_;
}

const char* vectorLibmName(VectorLibmFunction f) {
    switch (f) {
#define TARNEX_VECTOR_LIBM_NAME(function, builtin, name, ...) \
    case VectorLibmFunction::function: return name;
        TARNEX_VECTOR_LIBM(TARNEX_VECTOR_LIBM_NAME)
#undef TARNEX_VECTOR_LIBM_NAME
    }
    return "";
}

}  // namespace tarnex::detail
