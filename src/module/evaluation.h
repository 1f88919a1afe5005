// A call's program and its evaluation, done without the interpreter lock
// where the work is long enough to let other threads run.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "tarnex/input_layout.h"
#include "tarnex/engine.h"

namespace qelto {

// The cached program of (expr, names, divide), compiled and prepared on a
// miss; any compile error is a CompileFailure "Expression failed to compile: "
// + expr + " — " + the inner message. Long texts compile without the lock.
std::shared_ptr<const tarnex::PreparedProgram> compiled(std::string_view expr, std::span<const std::string_view> names,
                                                        tarnex::DivideMode divide);

// Evaluates every element of `inputs` into `out` without the lock, in slices
// between which Python runs its signal handlers, so Ctrl-C stops a long call.
void evaluateInterruptibly(const tarnex::PreparedProgram& program, const tarnex::InputLayout& inputs,
                           double* out);

}  // namespace qelto
