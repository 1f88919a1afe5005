// The built-in functions: their ids, names and arities, and the dispatch from
// an id to its per-element function (tarnex/numeric.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tarnex/numeric.h"

namespace tarnex {

// The ids travel inside CALL_BUILTIN operands, so they are fixed.
enum class BuiltinFunc : int32_t {
    SIN = 0, COS = 1, TAN = 2, ASIN = 3, ACOS = 4, ATAN = 5, SQRT = 6, POW = 7,
    LOG = 8, LOG10 = 9, EXP = 10, ABS = 11, FLOOR = 12, CEIL = 13, ROUND = 14,
    MIN = 15, MAX = 16,
};

constexpr int BUILTIN_COUNT = 17;
// A call takes at most this many arguments; the evaluators size their
// argument lists by it.
constexpr int MAX_CALL_ARGS = 8;

struct BuiltinEntry {
    std::string_view name;
    BuiltinFunc id;
};

extern const BuiltinEntry BUILTIN_TABLE[BUILTIN_COUNT];

// The entry whose name equals `name` ignoring ASCII case, or nullptr.
const BuiltinEntry* findBuiltin(std::string_view name);

// Calls `visit` with the op:: functor of a one-argument built-in (ids 0 to 14
// except POW) and returns its result. Both evaluators and folding dispatch
// through here, so the id-to-function mapping exists once.
template <class Visitor>
decltype(auto) visitUnaryBuiltin(BuiltinFunc id, Visitor&& visit) {
    switch (id) {
        case BuiltinFunc::SIN: return visit(op::Sin{});
        case BuiltinFunc::COS: return visit(op::Cos{});
        case BuiltinFunc::TAN: return visit(op::Tan{});
        case BuiltinFunc::ASIN: return visit(op::Asin{});
        case BuiltinFunc::ACOS: return visit(op::Acos{});
        case BuiltinFunc::ATAN: return visit(op::Atan{});
        case BuiltinFunc::SQRT: return visit(op::Sqrt{});
        case BuiltinFunc::LOG: return visit(op::Log{});
        case BuiltinFunc::LOG10: return visit(op::Log10{});
        case BuiltinFunc::EXP: return visit(op::Exp{});
        case BuiltinFunc::ABS: return visit(op::Abs{});
        case BuiltinFunc::FLOOR: return visit(op::Floor{});
        case BuiltinFunc::CEIL: return visit(op::Ceil{});
        default: return visit(op::Round{});
    }
}

// The value of built-in `id` for `argc` argument values (argc already checked).
double callBuiltin(BuiltinFunc id, const double* args, uint32_t argc);

}  // namespace tarnex

namespace tarnex {

// Throws the fixed arity message when `argc` arguments do not suit `id`.
void checkArity(BuiltinFunc id, size_t argc);

// Constant folding: the value of an operator (a TokenKind) applied to
// constants. Throws "Division by zero" or "Modulo by zero" for a zero divisor.
double foldBinary(int32_t op, double left, double right);
double foldUnary(int32_t op, double operand);

}  // namespace tarnex
