#include <algorithm>
#include <stdexcept>

#include "tarnex/builtins.h"
#include "tarnex/parser.h"
#include "tarnex/program.h"

namespace tarnex {
namespace {

// One pending node of the post-order walk: `stage` counts the children
// already emitted. A left-nested chain has a frame per term, so the jump a
// later stage patches waits on a stack of its own.
struct EmitFrame {
    int32_t node;
    uint32_t stage;
};

uint32_t popBack(std::vector<uint32_t>& jumps) {
    const uint32_t jump = jumps.back();
    jumps.pop_back();
    return jump;
}

void fillVariableTable(Program& program) {
    size_t n = program.var_names.size();
    program.var_index.reserve(n);
    for (size_t i = 0; i < n; ++i) program.var_index.try_emplace(program.var_names[i], static_cast<uint32_t>(i));
    program.var_values.assign(n, 0.0);
}

// Per node: whether its subtree may be computed for elements that would
// skip it. Nothing may fail (no / or %) and nothing may cost a library call,
// which the masked route spares the elements off the path.
std::vector<uint8_t> freeToCompute(const Parser& parser, int32_t root) {
    const std::vector<Node>& nodes = parser.tree();
    std::vector<uint8_t> free(static_cast<size_t>(root) + 1, 1);
    for (size_t i = 0; i <= static_cast<size_t>(root); ++i) {
        const Node& n = nodes[i];
        uint8_t& f = free[i];
        switch (n.kind) {
            case UNARY: f = free[n.left]; break;
            case BINARY: f = n.op != SLASH && n.op != PERCENT && free[n.left] && free[n.right]; break;
            case TERNARY: f = free[n.left] && free[n.right] && free[n.third]; break;
            case CALL:
                f = !BUILTIN_TABLE[n.func].library_call;
                for (int32_t arg : parser.arguments(n)) f = f && free[arg];
                break;
            default: break;
        }
    }
    return free;
}

}  // namespace

// Appends instructions to `code`. Compiling adds each constant to the
// program's pool; the plan's branch-free variant walks the tree in the same
// order, so its constants are the pool's in order, less those of the jumps
// it replaces, which it skips.
class Emitter {
public:
    Emitter(Program& program, std::vector<Instruction>& code, const std::vector<uint8_t>* whole_block)
        : program_(program), code_(code), whole_block_(whole_block) {}

    void instruction(Opcode opcode, uint32_t operand = 0) {
        code_.push_back(Instruction{static_cast<uint32_t>(opcode), operand});
    }

    void constant(double value) {
        if (whole_block_ == nullptr) program_.constants.push_back(value);
        instruction(Opcode::PUSH_CONST, next_constant_++);
    }

    // Constants that the jump form of a whole-block operation pushes here.
    void skipConstants(uint32_t count) { next_constant_ += count; }

    uint32_t jump(Opcode opcode) {
        instruction(opcode, 0);
        return static_cast<uint32_t>(code_.size() - 1);
    }

    void patch(uint32_t jump) { code_[jump].operand = static_cast<uint32_t>(code_.size()) - jump; }

    // Whether a &&, || or ?: node becomes one whole-block operation.
    bool wholeBlock(int32_t node) const { return whole_block_ != nullptr && (*whole_block_)[node]; }

private:
    Program& program_;
    std::vector<Instruction>& code_;
    const std::vector<uint8_t>* whole_block_;
    uint32_t next_constant_ = 0;  // the pool index of the next constant
};

// An explicit work stack instead of recursion: a left-nested chain of 100,000
// terms is a tree 100,000 levels high.
void Parser::emitTree(Emitter& emit, int32_t index) const {
    std::vector<EmitFrame> work;
    work.reserve(static_cast<size_t>(index) + 1);  // the subtree's height at most; pages are touched as used
    work.push_back(EmitFrame{index, 0});
    std::vector<uint32_t> open_jumps;
    while (!work.empty()) {
        EmitFrame& frame = work.back();
        const int32_t id = frame.node;
        const Node& n = nodes[id];
        uint32_t stage = frame.stage++;
        int32_t child = -1;
        switch (n.kind) {
            case CONST: emit.constant(n.value); break;
            case VAR: emit.instruction(Opcode::LOAD_VAR, static_cast<uint32_t>(n.left)); break;
            case UNARY:
                if (stage == 0) {
                    child = n.left;
                } else if (n.op == MINUS) {
                    emit.constant(-1.0);
                    emit.instruction(Opcode::MUL);
                } else if (n.op != PLUS) {
                    emit.instruction(opcodeForToken(n.op, OpcodeKind::UNARY));
                }
                break;
            case BINARY:
                if (stage == 0) {
                    child = n.left;
                } else if ((n.op == AND || n.op == OR) && emit.wholeBlock(id)) {
                    // the jump forms below push constants: || one before its
                    // right operand, both two after it
                    if (stage == 1) {
                        emit.skipConstants(n.op == OR ? 1 : 0);
                        child = n.right;
                    } else {
                        emit.skipConstants(2);
                        emit.instruction(opcodeForToken(n.op, OpcodeKind::BINARY, true));
                    }
                } else if (n.op == AND) {
                    if (stage == 1) {
                        open_jumps.push_back(emit.jump(Opcode::JUMP_IF_FALSE));
                        child = n.right;
                    } else {
                        uint32_t j2 = emit.jump(Opcode::JUMP_IF_FALSE);
                        emit.constant(1.0);
                        uint32_t j3 = emit.jump(Opcode::JUMP);
                        emit.patch(popBack(open_jumps));
                        emit.patch(j2);
                        emit.constant(0.0);
                        emit.patch(j3);
                    }
                } else if (n.op == OR) {
                    if (stage == 1) {
                        uint32_t j1 = emit.jump(Opcode::JUMP_IF_FALSE);
                        emit.constant(1.0);
                        open_jumps.push_back(emit.jump(Opcode::JUMP));
                        emit.patch(j1);
                        child = n.right;
                    } else {
                        uint32_t j3 = emit.jump(Opcode::JUMP_IF_FALSE);
                        emit.constant(1.0);
                        uint32_t j4 = emit.jump(Opcode::JUMP);
                        emit.patch(j3);
                        emit.constant(0.0);
                        emit.patch(popBack(open_jumps));
                        emit.patch(j4);
                    }
                } else if (stage == 1) {
                    child = n.right;
                } else {
                    emit.instruction(opcodeForToken(n.op, OpcodeKind::BINARY));
                }
                break;
            case TERNARY:
                if (emit.wholeBlock(id)) {
                    if (stage < 3) {
                        child = stage == 0 ? n.left : stage == 1 ? n.right : n.third;
                    } else {
                        emit.instruction(Opcode::SELECT);
                    }
                } else if (stage == 0) {
                    child = n.left;
                } else if (stage == 1) {
                    open_jumps.push_back(emit.jump(Opcode::JUMP_IF_FALSE));
                    child = n.right;
                } else if (stage == 2) {
                    uint32_t j2 = emit.jump(Opcode::JUMP);
                    emit.patch(popBack(open_jumps));
                    open_jumps.push_back(j2);
                    child = n.third;
                } else {
                    emit.patch(popBack(open_jumps));
                }
                break;
            case CALL:
                if (stage < n.argc) {
                    child = arguments(n)[stage];
                } else {
                    emit.instruction(Opcode::CALL_BUILTIN, (static_cast<uint32_t>(n.func) << 16) | n.argc);
                }
                break;
        }
        if (child >= 0) {
            work.push_back(EmitFrame{child, 0});
        } else {
            work.pop_back();
        }
    }
}

// Room for an instruction per node up to the root: most nodes emit one and
// folded-away ones none, so the code of a long flat text is never copied to
// grow (such a text has about one node per byte).
void Parser::emitNode(Program& program, int32_t index) const {
    program.code.reserve(static_cast<size_t>(index) + 2);
    Emitter emit(program, program.code, nullptr);
    emitTree(emit, index);
}

// The &&, || and ?: whose skipped parts are free to compute become
// whole-block operations; the rest keep their jumps.
void Parser::emitBlockCode(Program& program, int32_t root) const {
    std::vector<uint8_t> free = freeToCompute(*this, root);
    std::vector<uint8_t> whole_block(free.size(), 0);
    bool any = false;
    for (size_t i = 0; i < free.size(); ++i) {
        const Node& n = nodes[i];
        bool branch = (n.kind == BINARY && (n.op == AND || n.op == OR)) || n.kind == TERNARY;
        whole_block[i] = branch && free[n.right] && (n.kind != TERNARY || free[n.third]);
        any = any || whole_block[i];
    }
    if (!any) return;
    program.block_code.reserve(program.code.size());  // whole-block forms are shorter than jumps
    Emitter emit(program, program.block_code, &whole_block);
    emitTree(emit, root);
    emit.instruction(Opcode::RETURN);
}

Program compile(std::string_view text, const std::vector<std::string_view>& names) {
    Parser parser(text, names);
    int32_t root = parser.parseExpression();
    if (!parser.atEnd()) throw std::runtime_error("Parse error");

    Program program;
    program.var_names.assign(names.begin(), names.end());
    parser.emitNode(program, root);
    program.code.push_back(Instruction{static_cast<uint32_t>(Opcode::RETURN), 0});
    if (stackDepth(program.code) > STACK_CAPACITY) throw std::runtime_error("Expression too complex");
    if (hasJumps(program.code)) parser.emitBlockCode(program, root);
    fillVariableTable(program);
    return program;
}

}  // namespace tarnex
