// Whether this process may run blocks on helper threads.
//
// Threads are not copied into a forked child: a child forked after the pool
// started its helpers would wait forever for them. Such a child evaluates on
// its calling thread only; one forked before any helper started starts its
// own, and keeps the thread count set in the parent.
#pragma once

namespace tarnex {

// False in any process forked from one that had started helpers (and in
// their descendants), and if the fork handler could not be registered; true
// otherwise. Cheap enough to ask before every evaluation.
bool teamsAllowed();

// Called before the first helper thread is started.
void noteHelpersStarted();

}  // namespace tarnex
