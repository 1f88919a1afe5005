// The per-element functor behind each computing opcode. The block, masked
// and scalar evaluators all dispatch through here, so the mapping from
// opcode to operation exists once.
#pragma once

#include "tarnex/numeric.h"
#include "tarnex/program.h"

namespace tarnex::detail {

// Calls `visit` with the op:: functor of a two-operand opcode (ADD to
// CMP_GE) and returns true; returns false for every other opcode. DIV and
// MOD are visited without their divisor check: see zeroDivisorError.
template <class Visitor>
bool visitBinaryOperation(Opcode opcode, Visitor&& visit) {
    switch (opcode) {
        case Opcode::ADD: visit(op::Add{}); return true;
        case Opcode::SUB: visit(op::Sub{}); return true;
        case Opcode::MUL: visit(op::Mul{}); return true;
        case Opcode::DIV: visit(op::Div{}); return true;
        case Opcode::MOD: visit(op::Mod{}); return true;
        case Opcode::BIT_AND: visit(op::BitAnd{}); return true;
        case Opcode::BIT_OR: visit(op::BitOr{}); return true;
        case Opcode::BIT_XOR: visit(op::BitXor{}); return true;
        case Opcode::SHIFT_LEFT: visit(op::ShiftLeft{}); return true;
        case Opcode::SHIFT_RIGHT: visit(op::ShiftRight{}); return true;
        case Opcode::CMP_EQ: visit(op::CmpEq{}); return true;
        case Opcode::CMP_NE: visit(op::CmpNe{}); return true;
        case Opcode::CMP_LT: visit(op::CmpLt{}); return true;
        case Opcode::CMP_LE: visit(op::CmpLe{}); return true;
        case Opcode::CMP_GT: visit(op::CmpGt{}); return true;
        case Opcode::CMP_GE: visit(op::CmpGe{}); return true;
        default: return false;
    }
}

// The same for the one-operand opcodes LOGICAL_NOT and BIT_NOT.
template <class Visitor>
bool visitUnaryOperation(Opcode opcode, Visitor&& visit) {
    switch (opcode) {
        case Opcode::LOGICAL_NOT: visit(op::LogicalNot{}); return true;
        case Opcode::BIT_NOT: visit(op::BitNot{}); return true;
        default: return false;
    }
}

// The error a zero divisor (either sign; NaN is no zero) raises, for the
// opcodes that check one; nullptr for the others.
inline const char* zeroDivisorError(Opcode opcode) {
    if (opcode == Opcode::DIV) return "Division by zero";
    if (opcode == Opcode::MOD) return "Modulo by zero";
    return nullptr;
}

}  // namespace tarnex::detail
