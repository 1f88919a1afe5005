#include <algorithm>
#include <stdexcept>

#include "tarnex/builtins.h"
#include "tarnex/parser.h"
#include "tarnex/program.h"

namespace tarnex {
namespace {

void emitInstruction(Program& program, Opcode opcode, uint32_t operand = 0) {
    program.code.push_back(Instruction{static_cast<uint32_t>(opcode), operand});
}

uint32_t addConstant(Program& program, double value) {
    program.constants.push_back(value);
    return static_cast<uint32_t>(program.constants.size() - 1);
}

void emitConstant(Program& program, double value) {
    emitInstruction(program, Opcode::PUSH_CONST, addConstant(program, value));
}

uint32_t emitJump(Program& program, Opcode opcode) {
    emitInstruction(program, opcode, 0);
    return static_cast<uint32_t>(program.code.size() - 1);
}

void patchJump(Program& program, uint32_t jump) {
    program.code[jump].operand = static_cast<uint32_t>(program.code.size()) - jump;
}

Opcode binaryOpcode(int32_t op) {
    // Token kinds PLUS..CARET map to ADD..BIT_XOR, SHL..GE to SHIFT_LEFT..CMP_GE.
    return static_cast<Opcode>(op <= CARET ? op - 1 : op - 2);
}

// Stack entries each node's code needs. Children precede parents in the
// array, so one pass in index order sees every child before its parent.
uint32_t stackDepth(const std::vector<Node>& nodes, int32_t root) {
    std::vector<uint32_t> depth(nodes.size(), 1);
    for (size_t i = 0; i <= static_cast<size_t>(root); ++i) {
        const Node& n = nodes[i];
        switch (n.kind) {
            case UNARY: depth[i] = n.op == MINUS ? std::max(depth[n.left], 2u) : depth[n.left]; break;
            case BINARY:
                depth[i] = (n.op == AND || n.op == OR) ? std::max(depth[n.left], depth[n.right])
                                                       : std::max(depth[n.left], 1 + depth[n.right]);
                break;
            case TERNARY: depth[i] = std::max({depth[n.left], depth[n.right], depth[n.third]}); break;
            case CALL:
                depth[i] = 0;
                for (uint32_t k = 0; k < n.argc; ++k) depth[i] = std::max(depth[i], k + depth[n.args[k]]);
                break;
            default: break;
        }
    }
    return depth[root];
}

// One pending node of the post-order walk: `stage` counts the children
// already emitted, `jump` remembers the one jump a later stage patches.
struct EmitFrame {
    int32_t node;
    uint32_t stage;
    uint32_t jump;
};

void fillVariableTable(Program& program) {
    size_t n = program.var_names.size();
    program.var_index.reserve(n);
    for (size_t i = 0; i < n; ++i) program.var_index.try_emplace(program.var_names[i], static_cast<uint32_t>(i));
    program.var_values.assign(n, 0.0);
}

}  // namespace

// An explicit work stack instead of recursion: a left-nested chain of 100,000
// terms is a tree 100,000 levels high.
void Parser::emitNode(Program& program, int32_t index) const {
    std::vector<EmitFrame> work{{index, 0, 0}};
    while (!work.empty()) {
        EmitFrame& frame = work.back();
        const Node& n = nodes[frame.node];
        uint32_t stage = frame.stage++;
        int32_t child = -1;
        switch (n.kind) {
            case CONST: emitConstant(program, n.value); break;
            case VAR: emitInstruction(program, Opcode::LOAD_VAR, static_cast<uint32_t>(n.left)); break;
            case UNARY:
                if (stage == 0) {
                    child = n.left;
                } else if (n.op == MINUS) {
                    emitConstant(program, -1.0);
                    emitInstruction(program, Opcode::MUL);
                } else if (n.op == NOT) {
                    emitInstruction(program, Opcode::LOGICAL_NOT);
                } else if (n.op == TILDE) {
                    emitInstruction(program, Opcode::BIT_NOT);
                }
                break;
            case BINARY:
                if (stage == 0) {
                    child = n.left;
                } else if (n.op == AND) {
                    if (stage == 1) {
                        frame.jump = emitJump(program, Opcode::JUMP_IF_FALSE);
                        child = n.right;
                    } else {
                        uint32_t j2 = emitJump(program, Opcode::JUMP_IF_FALSE);
                        emitConstant(program, 1.0);
                        uint32_t j3 = emitJump(program, Opcode::JUMP);
                        patchJump(program, frame.jump);
                        patchJump(program, j2);
                        emitConstant(program, 0.0);
                        patchJump(program, j3);
                    }
                } else if (n.op == OR) {
                    if (stage == 1) {
                        uint32_t j1 = emitJump(program, Opcode::JUMP_IF_FALSE);
                        emitConstant(program, 1.0);
                        frame.jump = emitJump(program, Opcode::JUMP);
                        patchJump(program, j1);
                        child = n.right;
                    } else {
                        uint32_t j3 = emitJump(program, Opcode::JUMP_IF_FALSE);
                        emitConstant(program, 1.0);
                        uint32_t j4 = emitJump(program, Opcode::JUMP);
                        patchJump(program, j3);
                        emitConstant(program, 0.0);
                        patchJump(program, frame.jump);
                        patchJump(program, j4);
                    }
                } else if (stage == 1) {
                    child = n.right;
                } else {
                    emitInstruction(program, binaryOpcode(n.op));
                }
                break;
            case TERNARY:
                if (stage == 0) {
                    child = n.left;
                } else if (stage == 1) {
                    frame.jump = emitJump(program, Opcode::JUMP_IF_FALSE);
                    child = n.right;
                } else if (stage == 2) {
                    uint32_t j2 = emitJump(program, Opcode::JUMP);
                    patchJump(program, frame.jump);
                    frame.jump = j2;
                    child = n.third;
                } else {
                    patchJump(program, frame.jump);
                }
                break;
            case CALL:
                if (stage < n.argc) {
                    child = n.args[stage];
                } else {
                    emitInstruction(program, Opcode::CALL_BUILTIN,
                                    (static_cast<uint32_t>(n.func) << 16) | n.argc);
                }
                break;
        }
        if (child >= 0) {
            work.push_back(EmitFrame{child, 0, 0});
        } else {
            work.pop_back();
        }
    }
}

Program compile(std::string_view text, const std::vector<std::string_view>& names) {
    Parser parser(Lexer(text).tokenize(), names);
    int32_t root = parser.parseExpression();
    if (!parser.atEnd()) throw std::runtime_error("Parse error");
    if (stackDepth(parser.tree(), root) > STACK_CAPACITY) throw std::runtime_error("Expression too complex");

    Program program;
    program.var_names.assign(names.begin(), names.end());
    parser.emitNode(program, root);
    emitInstruction(program, Opcode::RETURN);
    fillVariableTable(program);
    return program;
}

}  // namespace tarnex
