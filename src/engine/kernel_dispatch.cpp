// Chooses the kernel level once, at load, from the CPU's features. Built for
// baseline x86-64 like everything outside the level-specific kernel files.
#include <atomic>

#include "tarnex/engine.h"

#include "kernels.h"

namespace tarnex::detail {
namespace {

bool supported(KernelLevel level) {
    __builtin_cpu_init();
    switch (level) {
        case KernelLevel::BASELINE: return true;
        case KernelLevel::X86_64_V3: return __builtin_cpu_supports("x86-64-v3");
        case KernelLevel::X86_64_V4: return __builtin_cpu_supports("x86-64-v4");
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
