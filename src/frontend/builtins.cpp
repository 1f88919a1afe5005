#include "tarnex/builtins.h"

#include <stdexcept>

#include "tarnex/names.h"
#include "tarnex/opcodes.h"
#include "tarnex/tokens.h"

namespace tarnex {

const BuiltinEntry* findBuiltin(std::string_view name) {
    for (const BuiltinEntry& entry : BUILTIN_TABLE)
        if (equalsIgnoringCase(entry.name, name)) return &entry;
    return nullptr;
}

void checkArity(BuiltinFunc id, size_t argc) {
    const BuiltinEntry& entry = BUILTIN_TABLE[static_cast<int>(id)];
    if (argc < entry.min_args || argc > entry.max_args) throw std::runtime_error(entry.arity_error);
}

namespace {

struct ValueSteps {
    double* args;
    template <class Op>
    void unary(uint32_t k) {
        args[k] = Op::apply(args[k]);
    }
    template <class Op>
    void binary(uint32_t k, uint32_t j) {
        args[k] = Op::apply(args[k], args[j]);
    }
};

}  // namespace

double callBuiltin(BuiltinFunc id, double* args, uint32_t argc) {
    applyBuiltin(id, argc, ValueSteps{args});
    return args[0];
}

double foldBinary(int32_t token, double l, double r, DivideMode divide) {
    Opcode opcode = opcodeForToken(token, OpcodeKind::BINARY, true, divide);
    const char* zero_error = opcodeInfo(opcode).zero_divisor_error;
    if (zero_error != nullptr && r == 0.0) throw std::runtime_error(zero_error);
    return visitOperation<Semantics::BLOCK>(opcode, [&](auto operation) -> double {
        using Op = decltype(operation);
        if constexpr (op::arity<Op> == 2) return Op::apply(l, r);
        throw std::logic_error("not a binary operator");
    });
}

double foldUnary(int32_t token, double x) {
    if (token == MINUS) return op::Negate::apply(x);
    if (token == PLUS) return x;
    return visitOperation<Semantics::BLOCK>(opcodeForToken(token, OpcodeKind::UNARY), [&](auto operation) -> double {
        using Op = decltype(operation);
        if constexpr (op::arity<Op> == 1) return Op::apply(x);
        throw std::logic_error("not a prefix operator");
    });
}

}  // namespace tarnex
