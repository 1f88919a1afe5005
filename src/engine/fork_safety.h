// Whether this process may open an OpenMP thread team.
//
// GCC's OpenMP runtime cannot start a team in a child that was forked after
// the parent ran one: the child waits forever for worker threads that were
// not copied. A forked child therefore evaluates on its calling thread only.
#pragma once

namespace tarnex {

// False in any process forked from this one (and their descendants), and if
// the fork handler could not be registered; true otherwise. Cheap enough to
// ask before every parallel region.
bool parallelRegionsAllowed();

}  // namespace tarnex
