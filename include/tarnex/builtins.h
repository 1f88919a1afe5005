// The built-in functions, written once: ids, names, arities, messages and
// the per-element function of each (tarnex/numeric.h). The parser's lookup
// and arity check, folding and every evaluator follow from this table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "tarnex/numeric.h"
#include "tarnex/opcodes.h"

namespace tarnex {

// Columns: id, number (it travels inside CALL_BUILTIN operands, so it is
// fixed), name, kind, fewest and most arguments, the operation (for MIN and
// MAX the step that folds in one more argument), whether it calls the math
// library, what it adds to an element's cost on one core in nanoseconds
// (x86-64-v4 loops, one thread; it sizes the slices between which Ctrl-C is
// seen), and the message for a wrong argument count.
#define TARNEX_BUILTINS(X)                                                                                             \
    X(SIN, 0, "sin", UNARY, 1, 1, op::Sin, true, 9.4, "Function expects 1 argument")                                   \
    X(COS, 1, "cos", UNARY, 1, 1, op::Cos, true, 10.7, "Function expects 1 argument")                                  \
    X(TAN, 2, "tan", UNARY, 1, 1, op::Tan, true, 10.9, "Function expects 1 argument")                                  \
    X(ASIN, 3, "asin", UNARY, 1, 1, op::Asin, true, 8.0, "Function expects 1 argument")                                \
    X(ACOS, 4, "acos", UNARY, 1, 1, op::Acos, true, 8.1, "Function expects 1 argument")                                \
    X(ATAN, 5, "atan", UNARY, 1, 1, op::Atan, true, 9.2, "Function expects 1 argument")                                \
    X(SQRT, 6, "sqrt", UNARY, 1, 1, op::Sqrt, false, 0.3, "Function expects 1 argument")                               \
    X(POW, 7, "pow", BINARY, 2, 2, op::Pow, true, 9.6, "pow expects 2 arguments")                                      \
    X(LOG, 8, "log", UNARY, 1, 1, op::Log, true, 3.9, "Function expects 1 argument")                                   \
    X(LOG10, 9, "log10", UNARY, 1, 1, op::Log10, true, 6.7, "Function expects 1 argument")                             \
    X(EXP, 10, "exp", UNARY, 1, 1, op::Exp, true, 3.8, "Function expects 1 argument")                                  \
    X(ABS, 11, "abs", UNARY, 1, 1, op::Abs, false, 0.0, "Function expects 1 argument")                                 \
    X(FLOOR, 12, "floor", UNARY, 1, 1, op::Floor, false, 0.0, "Function expects 1 argument")                           \
    X(CEIL, 13, "ceil", UNARY, 1, 1, op::Ceil, false, 0.0, "Function expects 1 argument")                              \
    X(ROUND, 14, "round", UNARY, 1, 1, op::Round, false, 5.6, "Function expects 1 argument")                           \
    X(MIN, 15, "min", RUNNING, 1, 8, op::MinStep, false, 0.0, "min/max expect at least 1 argument")                    \
    X(MAX, 16, "max", RUNNING, 1, 8, op::MaxStep, false, 0.0, "min/max expect at least 1 argument")

enum class BuiltinFunc : int32_t {
#define TARNEX_BUILTIN_ENUM(id, number, ...) id = number,
    TARNEX_BUILTINS(TARNEX_BUILTIN_ENUM)
#undef TARNEX_BUILTIN_ENUM
};

// UNARY and BINARY apply their operation once; RUNNING starts from the first
// argument and folds in each later one with its step.
enum class BuiltinKind : uint8_t { UNARY, BINARY, RUNNING };

constexpr int BUILTIN_COUNT = 0
#define TARNEX_BUILTIN_COUNT(...) +1
    TARNEX_BUILTINS(TARNEX_BUILTIN_COUNT)
#undef TARNEX_BUILTIN_COUNT
    ;
// A call takes at most this many arguments; the evaluators size their
// argument lists by it.
constexpr int MAX_CALL_ARGS = 8;

struct BuiltinEntry {
    std::string_view name;
    BuiltinFunc id;
    BuiltinKind kind;
    uint32_t min_args;
    uint32_t max_args;
    bool library_call;
    double nanoseconds;
    const char* arity_error;
};

inline constexpr BuiltinEntry BUILTIN_TABLE[BUILTIN_COUNT] = {
#define TARNEX_BUILTIN_ENTRY(id, number, name, kind, fewest, most, operation, library, cost, message) \
    {name, BuiltinFunc::id, BuiltinKind::kind, fewest, most, library, cost, message},
    TARNEX_BUILTINS(TARNEX_BUILTIN_ENTRY)
#undef TARNEX_BUILTIN_ENTRY
};

constexpr bool builtinsNumberedInOrder() {
    for (int i = 0; i < BUILTIN_COUNT; ++i)
        if (static_cast<int>(BUILTIN_TABLE[i].id) != i || BUILTIN_TABLE[i].max_args > MAX_CALL_ARGS) return false;
    return true;
}
static_assert(builtinsNumberedInOrder());

// The entry of a CALL_BUILTIN operand (see encodeCall) when the id is in
// the table and the count suits it; nullptr otherwise.
inline const BuiltinEntry* validCall(uint32_t operand) {
    const CallOperand call = decodeCall(operand);
    if (call.id >= static_cast<uint32_t>(BUILTIN_COUNT)) return nullptr;
    const BuiltinEntry& entry = BUILTIN_TABLE[call.id];
    return call.argc >= entry.min_args && call.argc <= entry.max_args ? &entry : nullptr;
}

// The entry whose name equals `name` ignoring ASCII case, or nullptr.
const BuiltinEntry* findBuiltin(std::string_view name);

// How many operands the operation of a kind takes.
constexpr int builtinKindArity(BuiltinKind kind) {
    switch (kind) {
        case BuiltinKind::UNARY: return 1;
        case BuiltinKind::BINARY:
        case BuiltinKind::RUNNING: return 2;
    }
    throw std::logic_error("unknown built-in kind");
}

#define TARNEX_BUILTIN_ARITY(id, number, name, kind, fewest, most, operation, ...)          \
    static_assert(op::arity<operation> == builtinKindArity(BuiltinKind::kind) &&              \
                      (BuiltinKind::kind == BuiltinKind::RUNNING || fewest == most),           \
                  #id ": its kind, its operation and its argument counts disagree");
TARNEX_BUILTINS(TARNEX_BUILTIN_ARITY)
#undef TARNEX_BUILTIN_ARITY

// Calls `visit` with the op:: functor of built-in `id` and its kind (as a
// std::integral_constant) and returns its result. Folding and every
// evaluator reach it through applyBuiltin, so the mapping from id to
// function exists once; an id outside the table throws.
template <class Visitor>
decltype(auto) visitBuiltin(BuiltinFunc id, Visitor&& visit) {
    switch (id) {
#define TARNEX_BUILTIN_CASE(name, number, text, kind, fewest, most, operation, ...) \
    case BuiltinFunc::name: return visit(operation{}, std::integral_constant<BuiltinKind, BuiltinKind::kind>{});
        TARNEX_BUILTINS(TARNEX_BUILTIN_CASE)
#undef TARNEX_BUILTIN_CASE
    }
    throw std::logic_error("unknown built-in function");
}

template <BuiltinKind>
constexpr bool UNHANDLED_BUILTIN_KIND = false;

// The one dispatch over kinds: how a call of `id` with `argc` arguments
// (argc already checked) becomes steps on its argument positions, the
// result left at position 0. `apply` provides
//   template <class Op> void unary(uint32_t k)              // k = Op(k)
//   template <class Op> void binary(uint32_t k, uint32_t j) // k = Op(k, j)
// A new kind is one more branch here; the evaluators and folding follow.
template <class Applier>
void applyBuiltin(BuiltinFunc id, uint32_t argc, Applier&& apply) {
    visitBuiltin(id, [&](auto operation, auto kind) {
        using Op = decltype(operation);
        constexpr BuiltinKind K = decltype(kind)::value;
        if constexpr (K == BuiltinKind::UNARY) {
            apply.template unary<Op>(0);
        } else if constexpr (K == BuiltinKind::BINARY) {
            apply.template binary<Op>(0, 1);
        } else if constexpr (K == BuiltinKind::RUNNING) {
            for (uint32_t k = 1; k < argc; ++k) apply.template binary<Op>(0, k);
        } else {
            static_assert(UNHANDLED_BUILTIN_KIND<K>, "a built-in kind without its steps");
        }
    });
}

// The value of built-in `id` for `argc` argument values (argc already
// checked), computed in place: the arguments are overwritten.
double callBuiltin(BuiltinFunc id, double* args, uint32_t argc);

// Throws the fixed arity message when `argc` arguments do not suit `id`.
void checkArity(BuiltinFunc id, size_t argc);

// Constant folding: the value of an operator (a TokenKind) applied to
// constants. Throws "Division by zero" or "Modulo by zero" for a zero divisor
// under DivideMode::RAISE; gives the IEEE result under IGNORE.
double foldBinary(int32_t op, double left, double right, DivideMode divide = DivideMode::RAISE);
double foldUnary(int32_t op, double operand);

}  // namespace tarnex
