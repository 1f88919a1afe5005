#include "fork_safety.h"

#include <pthread.h>

#include <atomic>

namespace tarnex {
namespace {

std::atomic<bool> forked_child{false};

void markForkedChild() { forked_child.store(true, std::memory_order_relaxed); }

// Registered once, at load and at the latest on the first question, so the
// handler is in place before any team exists.
bool forkHandlerRegistered() {
    static const bool registered = pthread_atfork(nullptr, nullptr, markForkedChild) == 0;
    return registered;
}

[[maybe_unused]] const bool registered_at_load = forkHandlerRegistered();

}  // namespace

bool parallelRegionsAllowed() {
    return forkHandlerRegistered() && !forked_child.load(std::memory_order_relaxed);
}

}  // namespace tarnex
