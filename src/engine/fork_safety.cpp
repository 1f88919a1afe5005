#include "fork_safety.h"

#include <pthread.h>

#include <atomic>

namespace tarnex {
namespace {

std::atomic<bool> helpers_started{false};
std::atomic<bool> helpers_lost{false};

void markForkedChild() {
    if (helpers_started.load(std::memory_order_relaxed)) helpers_lost.store(true, std::memory_order_relaxed);
}

// Registered once, at load and at the latest on the first question, so the
// handler is in place before any helper exists.
bool forkHandlerRegistered() {
    static const bool registered = pthread_atfork(nullptr, nullptr, markForkedChild) == 0;
    return registered;
}

[[maybe_unused]] const bool registered_at_load = forkHandlerRegistered();

}  // namespace

bool teamsAllowed() { return forkHandlerRegistered() && !helpers_lost.load(std::memory_order_relaxed); }

void noteHelpersStarted() { helpers_started.store(true, std::memory_order_relaxed); }

}  // namespace tarnex
