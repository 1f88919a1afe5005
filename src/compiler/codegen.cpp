// Code generation: the parser's tree in, stack code out. Compiling is
// parsing, then emitting the code once, with its stack depth counted as it
// is emitted.
#include <stdexcept>

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

// Appends instructions to the program's code, counting the stack depth they
// reach (all paths meet at a jump target with equal depths), and each
// constant to its pool.
class Emitter {
public:
    explicit Emitter(Program& program) : program_(program), code_(program.code) {}

    void instruction(Opcode opcode, uint32_t operand = 0) {
        const Instruction ins{static_cast<uint32_t>(opcode), operand};
        code_.push_back(ins);
        depth_ += stackEffect(ins);
        deepest_ = std::max(deepest_, depth_);
    }

    void constant(double value) {
        program_.constants.push_back(value);
        instruction(Opcode::PUSH_CONST, static_cast<uint32_t>(program_.constants.size() - 1));
    }

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

    uint32_t deepest() const { return static_cast<uint32_t>(deepest_); }

private:
    Program& program_;
    std::vector<Instruction>& code_;
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
    int32_t logicalAnd(const Node& n, uint32_t stage);
    int32_t logicalOr(const Node& n, uint32_t stage);
    int32_t conditional(const Node& n, uint32_t stage);
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
        case BINARY: return n.op == AND ? logicalAnd(n, stage) : n.op == OR ? logicalOr(n, stage) : binary(n, stage);
        case TERNARY: return conditional(n, stage);
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

int32_t CodeGenerator::call(const Node& n, uint32_t stage) {
    if (stage < n.argc) return parser_.arguments(n)[stage];
    emit_.instruction(Opcode::CALL_BUILTIN, encodeCall(n.func, n.argc));
    return -1;
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
    Emitter emit(program);
    CodeGenerator(parser, emit).emitTree(root);
    emit.instruction(Opcode::RETURN);
    if (emit.deepest() > STACK_CAPACITY) throw std::runtime_error("Expression too complex");
    program.max_depth = emit.deepest();
    fillVariableTable(program);
    return program;
}

}  // namespace tarnex
