// Checks shared by the fuzz targets. Every violation prints what went wrong
// and aborts, so libFuzzer keeps the input and a corpus replay fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tarnex/program.h"

namespace fuzz {

[[noreturn]] void fail(std::string_view what, std::string_view text);

// The only messages compile may raise.
bool isCompileMessage(std::string_view message);

// Runs compile and returns true with the program, or false after checking
// that the failure is a std::runtime_error with one of the fixed messages;
// `message` receives it.
bool tryCompile(std::string_view text, const std::vector<std::string_view>& names, tarnex::Program& program,
                std::string& message);

// The invariants every compiled program keeps: one final RETURN, constant
// and variable operands in range, forward jumps of at least 2 that land in
// the code, and a stack within STACK_CAPACITY holding exactly one value at
// RETURN on every path, as deep as the program's max_depth says; block code
// that every path takes to its RETURN; plus the variable table. Returns
// what is wrong, or "" (the C++ tests share it).
std::string programProblem(const tarnex::Program& program, const std::vector<std::string_view>& names);
// The same, failing the fuzz run on a violation.
void checkInvariants(const tarnex::Program& program, const std::vector<std::string_view>& names,
                     std::string_view text);

// Bit equality where every NaN equals every other NaN.
bool sameValue(double a, double b);

}  // namespace fuzz
