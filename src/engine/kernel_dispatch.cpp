// Chooses the kernel level once, at load, from the CPU's features. Built for
// baseline x86-64 like everything outside the level-specific kernel files.
#include <atomic>
#include <iterator>

#include "tarnex/engine.h"

#include "kernels.h"

namespace tarnex::detail {
namespace {

struct Level {
    const KernelSet& (*kernels)();
    bool (*supported)();
};

// One row per level of the build's list, in the order of KernelLevel.
constexpr Level LEVELS[] = {
#define TARNEX_LEVEL_ROW(name, upper, check) {&name##Kernels, [] { return static_cast<bool>(check); }},
    TARNEX_KERNEL_LEVELS(TARNEX_LEVEL_ROW)
#undef TARNEX_LEVEL_ROW
};
static_assert(std::size(LEVELS) == std::size(KERNEL_LEVELS));

const Level& levelOf(KernelLevel level) { return LEVELS[static_cast<size_t>(level)]; }

bool supported(KernelLevel level) {
    __builtin_cpu_init();
    return levelOf(level).supported();
}

KernelLevel best() {
    for (size_t i = std::size(KERNEL_LEVELS); i-- > 1;)
        if (supported(KERNEL_LEVELS[i])) return KERNEL_LEVELS[i];
    return KERNEL_LEVELS[0];
}

std::atomic<const KernelSet*> active{&levelOf(best()).kernels()};

}  // namespace

KernelLevel bestKernelLevel() { return best(); }

bool useKernelLevel(KernelLevel level) {
    if (!supported(level)) return false;
    active.store(&levelOf(level).kernels(), std::memory_order_relaxed);
    return true;
}

const char* kernelLevelName() { return activeKernels().level; }

const KernelSet& activeKernels() { return *active.load(std::memory_order_relaxed); }

}  // namespace tarnex::detail
