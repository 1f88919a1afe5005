// Code generation: the parser's tree in, stack code out. Compiling is
// parsing, then emitting the code once, with its stack depth counted as it
// is emitted, and for code that jumps the branch-free variant that blocks of
// elements may run.
#include <stdexcept>

#include "tarnex/builtins.h"
#include "tarnex/parser.h"
#include "tarnex/program.h"

namespace tarnex {
namespace {

void fillVariableTable(Program& program) {
    size_t n = program.var_names.size();
    program.var_index.reserve(n);
    for (size_t i = 0; i < n; ++i) program.var_index.try_emplace(program.var_names[i], static_cast<uint32_t>(i));
    program.var_values.assign(n, 0.0);
}

// A jump waiting for its target, with the stack depth it brings there.
struct OpenJump {
    uint32_t index;
    int64_t depth;
};

// Appends instructions to `code`, counting the stack depth they reach (all
// paths meet at a jump target with equal depths). Compiling adds each
// constant to the program's pool; the branch-free variant walks the tree in
// the same order, so its constants are the pool's in order, less those of
// the jumps it replaces, which it skips.
class Emitter {
public:
    Emitter(Program& program, std::vector<Instruction>& code, const std::vector<uint8_t>* whole_block)
        : program_(program), code_(code), whole_block_(whole_block) {}

    void instruction(Opcode opcode, uint32_t operand = 0) {
        const Instruction ins{static_cast<uint32_t>(opcode), operand};
        code_.push_back(ins);
        depth_ += stackEffect(ins);
        deepest_ = std::max(deepest_, depth_);
    }

    void constant(double value) {
        if (whole_block_ == nullptr) program_.constants.push_back(value);
        instruction(Opcode::PUSH_CONST, next_constant_++);
    }

    // Constants that the jump form of a whole-block operation pushes here.
    void skipConstants(uint32_t count) { next_constant_ += count; }

    OpenJump jump(Opcode opcode) {
        instruction(opcode, 0);
        return OpenJump{static_cast<uint32_t>(code_.size() - 1), depth_};
    }
    void patch(OpenJump jump) {
        code_[jump.index].operand = static_cast<uint32_t>(code_.size()) - jump.index;
        depth_ = jump.depth;
    }

    // Jumps whose target is emitted by a later stage of the same node.
    void open(OpenJump jump) { open_.push_back(jump); }
    OpenJump closeLast() {
        const OpenJump jump = open_.back();
        open_.pop_back();
        return jump;
    }

    // Whether a &&, || or ?: node becomes one whole-block operation.
    bool wholeBlock(int32_t node) const { return whole_block_ != nullptr && (*whole_block_)[node]; }
    uint32_t deepest() const { return static_cast<uint32_t>(deepest_); }

private:
    Program& program_;
    std::vector<Instruction>& code_;
    const std::vector<uint8_t>* whole_block_;
    uint32_t next_constant_ = 0;  // the pool index of the next constant
    std::vector<OpenJump> open_;  // a left-nested chain keeps one per term
    int64_t depth_ = 0, deepest_ = 0;
};

// Emits a tree in post order with an explicit work stack instead of
// recursion: a left-nested chain of 100,000 terms is a tree 100,000 levels
// high. Each node kind has a stage function: given how many stages of the
// node are done, it emits what comes next and returns the child to emit
// before the next stage, or -1 when the node is complete.
class CodeGenerator {
public:
    CodeGenerator(const Parser& parser, Emitter& emit) : parser_(parser), nodes_(parser.tree()), emit_(emit) {}

    void emitTree(int32_t root);

private:
    int32_t stage(int32_t id, uint32_t stage);
    int32_t unary(const Node& n, uint32_t stage);
    int32_t binary(const Node& n, uint32_t stage);
    int32_t wholeBlockLogical(const Node& n, uint32_t stage);
    int32_t logicalAnd(const Node& n, uint32_t stage);
    int32_t logicalOr(const Node& n, uint32_t stage);
    int32_t conditional(const Node& n, uint32_t stage);
    int32_t select(const Node& n, uint32_t stage);
    int32_t call(const Node& n, uint32_t stage);

    struct Frame {
        int32_t node;
        uint32_t stage;  // the stages already done
    };

    const Parser& parser_;
    const std::vector<Node>& nodes_;
    Emitter& emit_;
};

void CodeGenerator::emitTree(int32_t root) {
    std::vector<Frame> work;
    work.reserve(static_cast<size_t>(root) + 1);  // the subtree's height at most; pages are touched as used
    work.push_back(Frame{root, 0});
    while (!work.empty()) {
        Frame& frame = work.back();
        const int32_t child = stage(frame.node, frame.stage++);
        if (child >= 0) {
            work.push_back(Frame{child, 0});
        } else {
            work.pop_back();
        }
    }
}

int32_t CodeGenerator::stage(int32_t id, uint32_t stage) {
    const Node& n = nodes_[id];
    switch (n.kind) {
        case CONST: emit_.constant(n.value); return -1;
        case VAR: emit_.instruction(Opcode::LOAD_VAR, static_cast<uint32_t>(n.left)); return -1;
        case UNARY: return unary(n, stage);
        case BINARY:
            if ((n.op == AND || n.op == OR) && emit_.wholeBlock(id)) return wholeBlockLogical(n, stage);
            return n.op == AND ? logicalAnd(n, stage) : n.op == OR ? logicalOr(n, stage) : binary(n, stage);
        case TERNARY: return emit_.wholeBlock(id) ? select(n, stage) : conditional(n, stage);
        case CALL: return call(n, stage);
    }
    throw std::logic_error("unknown node kind");
}

// Negation is a multiplication by -1, which keeps NaN payloads as block mode does.
int32_t CodeGenerator::unary(const Node& n, uint32_t stage) {
    if (stage == 0) return n.left;
    if (n.op == MINUS) {
        emit_.constant(-1.0);
        emit_.instruction(Opcode::MUL);
    } else if (n.op != PLUS) {
        emit_.instruction(opcodeForToken(n.op, OpcodeKind::UNARY));
    }
    return -1;
}

int32_t CodeGenerator::binary(const Node& n, uint32_t stage) {
    if (stage == 0) return n.left;
    if (stage == 1) return n.right;
    emit_.instruction(opcodeForToken(n.op, OpcodeKind::BINARY, false, parser_.divideMode()));
    return -1;
}

// The jump forms skipped here push constants: || one before its right
// operand, both two after it.
int32_t CodeGenerator::wholeBlockLogical(const Node& n, uint32_t stage) {
    if (stage == 0) return n.left;
    if (stage == 1) {
        emit_.skipConstants(n.op == OR ? 1 : 0);
        return n.right;
    }
    emit_.skipConstants(2);
    emit_.instruction(opcodeForToken(n.op, OpcodeKind::BINARY, true));
    return -1;
}

// a && b: a; JUMP_IF_FALSE f; b; JUMP_IF_FALSE f; 1; JUMP e; f: 0; e:
int32_t CodeGenerator::logicalAnd(const Node& n, uint32_t stage) {
    if (stage == 0) return n.left;
    if (stage == 1) {
        emit_.open(emit_.jump(Opcode::JUMP_IF_FALSE));
        return n.right;
    }
    const OpenJump right_false = emit_.jump(Opcode::JUMP_IF_FALSE);
    emit_.constant(1.0);
    const OpenJump to_end = emit_.jump(Opcode::JUMP);
    emit_.patch(emit_.closeLast());
    emit_.patch(right_false);
    emit_.constant(0.0);
    emit_.patch(to_end);
    return -1;
}

// a || b: a; JUMP_IF_FALSE r; 1; JUMP e; r: b; JUMP_IF_FALSE f; 1; JUMP e; f: 0; e:
int32_t CodeGenerator::logicalOr(const Node& n, uint32_t stage) {
    if (stage == 0) return n.left;
    if (stage == 1) {
        const OpenJump left_false = emit_.jump(Opcode::JUMP_IF_FALSE);
        emit_.constant(1.0);
        emit_.open(emit_.jump(Opcode::JUMP));
        emit_.patch(left_false);
        return n.right;
    }
    const OpenJump right_false = emit_.jump(Opcode::JUMP_IF_FALSE);
    emit_.constant(1.0);
    const OpenJump to_end = emit_.jump(Opcode::JUMP);
    emit_.patch(right_false);
    emit_.constant(0.0);
    emit_.patch(emit_.closeLast());
    emit_.patch(to_end);
    return -1;
}

// c ? x : y: c; JUMP_IF_FALSE e; x; JUMP d; e: y; d:
int32_t CodeGenerator::conditional(const Node& n, uint32_t stage) {
    switch (stage) {
        case 0: return n.left;
        case 1: emit_.open(emit_.jump(Opcode::JUMP_IF_FALSE)); return n.right;
        case 2: {
            const OpenJump to_end = emit_.jump(Opcode::JUMP);
            emit_.patch(emit_.closeLast());
            emit_.open(to_end);
            return n.third;
        }
    }
    emit_.patch(emit_.closeLast());
    return -1;
}

int32_t CodeGenerator::select(const Node& n, uint32_t stage) {
    switch (stage) {
        case 0: return n.left;
        case 1: return n.right;
        case 2: return n.third;
    }
    emit_.instruction(Opcode::SELECT);
    return -1;
}

int32_t CodeGenerator::call(const Node& n, uint32_t stage) {
    if (stage < n.argc) return parser_.arguments(n)[stage];
    emit_.instruction(Opcode::CALL_BUILTIN, encodeCall(n.func, n.argc));
    return -1;
}

// Per node: whether its subtree may be computed for elements that would
// skip it. Nothing may fail and nothing may cost a library call, which the
// masked route spares the elements off the path.
std::vector<uint8_t> freeToCompute(const Parser& parser, int32_t root) {
    const std::vector<Node>& nodes = parser.tree();
    std::vector<uint8_t> free(static_cast<size_t>(root) + 1, 1);
    for (size_t i = 0; i <= static_cast<size_t>(root); ++i) {
        const Node& n = nodes[i];
        uint8_t& f = free[i];
        switch (n.kind) {
            case CONST:
            case VAR: f = 1; break;
            case UNARY: f = free[n.left]; break;
            case BINARY: {
                const OpcodeInfo& info = opcodeInfo(opcodeForToken(n.op, OpcodeKind::BINARY, true, parser.divideMode()));
                f = !info.can_fail && !info.library_call && free[n.left] && free[n.right];
                break;
            }
            case TERNARY: f = free[n.left] && free[n.right] && free[n.third]; break;
            case CALL:
                f = !BUILTIN_TABLE[n.func].library_call;
                for (int32_t arg : parser.arguments(n)) f = f && free[arg];
                break;
        }
    }
    return free;
}

// The &&, || and ?: whose skipped parts are free to compute become
// whole-block operations; the rest keep their jumps. Leaves `block_code`
// empty when no such operator exists.
void emitBlockCode(const Parser& parser, Program& program, int32_t root) {
    const std::vector<Node>& nodes = parser.tree();
    std::vector<uint8_t> free = freeToCompute(parser, root);
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
    CodeGenerator(parser, emit).emitTree(root);
    emit.instruction(Opcode::RETURN);
}

}  // namespace

Program compile(std::string_view text, const std::vector<std::string_view>& names, DivideMode divide) {
    Parser parser(text, names, divide);
    int32_t root = parser.parseExpression();
    parser.requireEnd();

    Program program;
    program.var_names.assign(names.begin(), names.end());
    // Room for an instruction per node up to the root: most nodes emit one
    // and folded-away ones none, so the code of a long flat text is never
    // copied to grow (such a text has about one node per byte).
    program.code.reserve(static_cast<size_t>(root) + 2);
    Emitter emit(program, program.code, nullptr);
    CodeGenerator(parser, emit).emitTree(root);
    emit.instruction(Opcode::RETURN);
    if (emit.deepest() > STACK_CAPACITY) throw std::runtime_error("Expression too complex");
    program.max_depth = emit.deepest();
    if (hasJumps(program.code)) emitBlockCode(parser, program, root);
    fillVariableTable(program);
    return program;
}

}  // namespace tarnex
