// Chooses the kernel level once, at load, from the CPU's features. Built for
// baseline x86-64 like everything outside the level-specific kernel files.
#include <atomic>

#include "tarnex/engine.h"

#include "kernels.h"

namespace tarnex::detail {
namespace {

// GCC, which builds the module, tests whole levels; clang, which builds the
// fuzz targets, knows only single features, of which these are the ones a
// level adds that its loops can use.
#if defined(__clang__)
bool hasLevel3() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}
bool hasLevel4() {
    return hasLevel3() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl");
}
#else
bool hasLevel3() { return __builtin_cpu_supports("x86-64-v3"); }
bool hasLevel4() { return __builtin_cpu_supports("x86-64-v4"); }
#endif

bool supported(KernelLevel level) {
    __builtin_cpu_init();
    switch (level) {
        case KernelLevel::BASELINE: return true;
        case KernelLevel::X86_64_V3: return hasLevel3();
        case KernelLevel::X86_64_V4: return hasLevel4();
    }
    return false;
}

const KernelSet& kernelsOf(KernelLevel level) {
    switch (level) {
        case KernelLevel::BASELINE: return baselineKernels();
        case KernelLevel::X86_64_V3: return x86_64_v3Kernels();
        case KernelLevel::X86_64_V4: return x86_64_v4Kernels();
    }
    return baselineKernels();
}

KernelLevel best() {
    for (KernelLevel level : {KernelLevel::X86_64_V4, KernelLevel::X86_64_V3})
        if (supported(level)) return level;
    return KernelLevel::BASELINE;
}

std::atomic<const KernelSet*> active{&kernelsOf(best())};

}  // namespace

KernelLevel bestKernelLevel() { return best(); }

bool useKernelLevel(KernelLevel level) {
    if (!supported(level)) return false;
    active.store(&kernelsOf(level), std::memory_order_relaxed);
    return true;
}

const char* kernelLevelName() { return activeKernels().level; }

const KernelSet& activeKernels() { return *active.load(std::memory_order_relaxed); }

}  // namespace tarnex::detail
