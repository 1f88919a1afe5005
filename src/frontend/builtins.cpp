#include "tarnex/builtins.h"

#include <stdexcept>

#include "tarnex/lexer.h"

namespace tarnex {

const BuiltinEntry BUILTIN_TABLE[BUILTIN_COUNT] = {
    {"sin", BuiltinFunc::SIN},     {"cos", BuiltinFunc::COS},     {"tan", BuiltinFunc::TAN},
    {"asin", BuiltinFunc::ASIN},   {"acos", BuiltinFunc::ACOS},   {"atan", BuiltinFunc::ATAN},
    {"sqrt", BuiltinFunc::SQRT},   {"pow", BuiltinFunc::POW},     {"log", BuiltinFunc::LOG},
    {"log10", BuiltinFunc::LOG10}, {"exp", BuiltinFunc::EXP},     {"abs", BuiltinFunc::ABS},
    {"floor", BuiltinFunc::FLOOR}, {"ceil", BuiltinFunc::CEIL},   {"round", BuiltinFunc::ROUND},
    {"min", BuiltinFunc::MIN},     {"max", BuiltinFunc::MAX},
};

const BuiltinEntry* findBuiltin(std::string_view name) {
    for (const BuiltinEntry& entry : BUILTIN_TABLE)
        if (equalsIgnoringCase(entry.name, name)) return &entry;
    return nullptr;
}

void checkArity(BuiltinFunc id, size_t argc) {
    if (id == BuiltinFunc::POW) {
        if (argc != 2) throw std::runtime_error("pow expects 2 arguments");
    } else if (id == BuiltinFunc::MIN || id == BuiltinFunc::MAX) {
        if (argc < 1) throw std::runtime_error("min/max expect at least 1 argument");
    } else if (argc != 1) {
        throw std::runtime_error("Function expects 1 argument");
    }
}

double callBuiltin(BuiltinFunc id, const double* args, uint32_t argc) {
    switch (id) {
        case BuiltinFunc::POW: return op::Pow::apply(args[0], args[1]);
        case BuiltinFunc::MIN:
        case BuiltinFunc::MAX: {
            double acc = args[0];
            for (uint32_t k = 1; k < argc; ++k)
                acc = id == BuiltinFunc::MIN ? op::MinStep::apply(acc, args[k]) : op::MaxStep::apply(acc, args[k]);
            return acc;
        }
        default: return visitUnaryBuiltin(id, [&](auto fn) { return fn.apply(args[0]); });
    }
}

double foldBinary(int32_t token, double l, double r) {
    switch (token) {
        case OR: return op::LogicalOr::apply(l, r);
        case AND: return op::LogicalAnd::apply(l, r);
        case PIPE: return op::BitOr::apply(l, r);
        case CARET: return op::BitXor::apply(l, r);
        case AMP: return op::BitAnd::apply(l, r);
        case EQ: return op::CmpEq::apply(l, r);
        case NE: return op::CmpNe::apply(l, r);
        case LT: return op::CmpLt::apply(l, r);
        case LE: return op::CmpLe::apply(l, r);
        case GT: return op::CmpGt::apply(l, r);
        case GE: return op::CmpGe::apply(l, r);
        case SHL: return op::ShiftLeft::apply(l, r);
        case SHR: return op::ShiftRight::apply(l, r);
        case PLUS: return op::Add::apply(l, r);
        case MINUS: return op::Sub::apply(l, r);
        case STAR: return op::Mul::apply(l, r);
        case SLASH:
            if (r == 0.0) throw std::runtime_error("Division by zero");
            return op::Div::apply(l, r);
        case PERCENT:
            if (r == 0.0) throw std::runtime_error("Modulo by zero");
            return op::Mod::apply(l, r);
        default: throw std::logic_error("not a binary operator");
    }
}

double foldUnary(int32_t token, double x) {
    switch (token) {
        case MINUS: return op::Negate::apply(x);
        case PLUS: return x;
        case NOT: return op::LogicalNot::apply(x);
        case TILDE: return op::BitNot::apply(x);
        default: throw std::logic_error("not a prefix operator");
    }
}

}  // namespace tarnex
