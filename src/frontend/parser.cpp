#include "tarnex/parser.h"

#include <pthread.h>

#include <stdexcept>

#include "tarnex/builtins.h"

namespace tarnex {

// Counts one level of recursion for as long as it lives; the one place where
// nesting is limited, by depth and by the native stack left.
class NestingGuard {
public:
    explicit NestingGuard(Parser& parser) : parser_(parser) {
        const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        if (++parser_.depth > MAX_NESTING || here < parser_.stack_floor) {
            --parser_.depth;
            throw std::runtime_error("Expression too deeply nested");
        }
    }
    ~NestingGuard() { --parser_.depth; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

private:
    Parser& parser_;
};

namespace {

// The lowest address of the calling thread's stack, or 0 when it cannot be
// read. A thread's stack never moves, so it is read once per thread: on the
// main thread the read parses /proc/self/maps, several times the cost of
// compiling a short text.
uintptr_t stackBottom() {
    thread_local const uintptr_t bottom = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return uintptr_t{0};
        void* low = nullptr;
        size_t size = 0;
        const int failed = pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
        return failed ? uintptr_t{0} : reinterpret_cast<uintptr_t>(low);
    }();
    return bottom;
}

static_assert(BUILTIN_COUNT <= 256 && COMMA < 256, "a node keeps its operator and built-in in a byte each");

Node makeNode(NodeKind kind) {
    Node node{};
    node.kind = kind;
    return node;
}

}  // namespace

Parser::Parser(std::string_view text, const std::vector<std::string_view>& names, DivideMode divide)
    : text(text), lexer(text), divide(divide) {
    nodes.reserve(countTokens(text));
    current = lexer.next();
    lookahead = lexer.next();
    variables.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) variables.try_emplace(names[i], static_cast<int32_t>(i));
    const uintptr_t bottom = stackBottom();
    stack_floor = bottom == 0 ? 0 : bottom + STACK_RESERVE;
}

int32_t Parser::addNode(const Node& node) {
    nodes.push_back(node);
    return static_cast<int32_t>(nodes.size() - 1);
}

// Node building stays out of line: the parse functions recurse once per
// nesting level, and a Node inlined into each would multiply their frames.
[[gnu::noinline]] int32_t Parser::addConstant(double value) {
    Node node = makeNode(CONST);
    node.value = value;
    return addNode(node);
}

[[gnu::noinline]] int32_t Parser::addOperation(int32_t kind, int32_t op, int32_t left, int32_t right, int32_t third) {
    Node node = makeNode(static_cast<NodeKind>(kind));
    node.op = static_cast<uint8_t>(op);
    node.left = left;
    node.right = right;
    node.third = third;
    return addNode(node);
}

// Out of line for the same reason as addOperation: a token is 40 bytes.
[[gnu::noinline]] void Parser::advance() {
    current = lookahead;
    lookahead = lexer.next();
}

bool Parser::accept(int32_t kind) {
    if (current.kind != kind) return false;
    advance();
    return true;
}

void Parser::expect(int32_t kind) {
    if (!accept(kind)) failAt(current, "Parse error");
}

void Parser::requireEnd() const {
    if (!atEnd()) failAt(current, "Parse error");
}

void Parser::failAt(const Token& token, const char* message) const {
    throw CompileError(message, token.offset, token.text.size());
}

// `piece` is a view into the text, such as a token's.
void Parser::failAt(std::string_view piece, const char* message) const {
    throw CompileError(message, static_cast<size_t>(piece.data() - text.data()), piece.size());
}

// Folding errors are the operator's; the lexer's spelling of it is the
// table's, not a view into the text.
[[gnu::noinline]] int32_t Parser::combine(int32_t op, size_t op_offset, int32_t left, int32_t right) {
    if (nodes[left].kind == CONST && nodes[right].kind == CONST) {
        try {
            nodes[left].value = foldBinary(op, nodes[left].value, nodes[right].value, divide);
        } catch (const std::runtime_error& e) {
            throw CompileError(e.what(), op_offset, TOKEN_SPELLINGS[op].symbol.size());
        }
        return left;
    }
    return addOperation(BINARY, op, left, right);
}

template <class Next>
int32_t Parser::parseBinaryLevel(std::initializer_list<int32_t> ops, Next next) {
    int32_t left = (this->*next)();
    for (;;) {
        int32_t op = current.kind;
        bool found = false;
        for (int32_t candidate : ops) found = found || candidate == op;
        if (!found) return left;
        const size_t op_offset = current.offset;
        advance();
        left = combine(op, op_offset, left, (this->*next)());
    }
}

// expression := or_chain [ "?" expression ":" expression ]
int32_t Parser::parseExpression() {
    NestingGuard guard(*this);
    int32_t cond = parseBinaryLevel({OR}, &Parser::parseLogicalAnd);
    if (!accept(QUESTION)) return cond;
    int32_t then_branch = parseExpression();
    expect(COLON);
    int32_t else_branch = parseExpression();
    if (nodes[cond].kind == CONST) return truth(nodes[cond].value) ? then_branch : else_branch;
    return addOperation(TERNARY, QUESTION, cond, then_branch, else_branch);
}

int32_t Parser::parseLogicalAnd() { return parseBinaryLevel({AND}, &Parser::parseBitOr); }
int32_t Parser::parseBitOr() { return parseBinaryLevel({PIPE}, &Parser::parseBitXor); }
int32_t Parser::parseBitXor() { return parseBinaryLevel({CARET}, &Parser::parseBitAnd); }
int32_t Parser::parseBitAnd() { return parseBinaryLevel({AMP}, &Parser::parseEquality); }
int32_t Parser::parseEquality() { return parseBinaryLevel({EQ, NE}, &Parser::parseRelational); }
int32_t Parser::parseRelational() { return parseBinaryLevel({LT, LE, GT, GE}, &Parser::parseShift); }
int32_t Parser::parseShift() { return parseBinaryLevel({SHL, SHR}, &Parser::parseAdditive); }
int32_t Parser::parseAdditive() { return parseBinaryLevel({PLUS, MINUS}, &Parser::parseMultiplicative); }
int32_t Parser::parseMultiplicative() {
    return parseBinaryLevel({STAR, SLASH, PERCENT}, &Parser::parseUnary);
}

// unary := ("+" | "-" | "!" | "~") unary | primary
int32_t Parser::parseUnary() {
    int32_t op = current.kind;
    if (op != PLUS && op != MINUS && op != NOT && op != TILDE) return parsePrimary();
    NestingGuard guard(*this);
    advance();
    int32_t operand = parseUnary();
    if (nodes[operand].kind == CONST) {
        nodes[operand].value = foldUnary(op, nodes[operand].value);
        return operand;
    }
    return addOperation(UNARY, op, operand);
}

// primary := NUMBER | IDENT | IDENT "(" [ expression { "," expression } ] ")" | "(" expression ")"
int32_t Parser::parsePrimary() {
    if (current.kind == NUMBER) {
        const int32_t node = addConstant(current.value);
        advance();
        return node;
    }
    if (current.kind == IDENT) return lookahead.kind == LPAREN ? parseCall() : parseVariable();
    if (!accept(LPAREN)) failAt(current, "Parse error");
    int32_t inner = parseExpression();
    expect(RPAREN);
    return inner;
}

// Out of line for the same reason as addOperation.
[[gnu::noinline]] int32_t Parser::parseVariable() {
    const auto found = variables.find(current.text);
    if (found == variables.end()) failAt(current, "Unknown id/variable");
    advance();
    Node node = makeNode(VAR);
    node.left = found->second;
    return addNode(node);
}

// Arguments are parsed and folded before the name is looked up.
int32_t Parser::parseCall() {
    const std::string_view name = current.text;
    advance();
    advance();
    int32_t args[MAX_CALL_ARGS];
    uint8_t argc = 0;
    if (!accept(RPAREN)) {
        do {
            if (argc == MAX_CALL_ARGS) failAt(current, "Too many arguments");
            args[argc++] = parseExpression();
        } while (accept(COMMA));
        expect(RPAREN);
    }
    return finishCall(name, args, argc);
}

// Out of line for the same reason as addOperation.
[[gnu::noinline]] int32_t Parser::finishCall(std::string_view name, const int32_t* args, uint8_t argc) {
    const BuiltinEntry* entry = findBuiltin(name);
    if (entry == nullptr) failAt(name, "Unknown func");
    try {
        checkArity(entry->id, argc);
    } catch (const std::runtime_error& e) {
        failAt(name, e.what());
    }

    bool all_constant = true;
    double values[MAX_CALL_ARGS];
    for (uint8_t k = 0; k < argc; ++k) {
        all_constant = all_constant && nodes[args[k]].kind == CONST;
        values[k] = nodes[args[k]].value;
    }
    if (all_constant) return addConstant(callBuiltin(entry->id, values, argc));
    Node node = makeNode(CALL);
    node.func = static_cast<uint8_t>(entry->id);
    node.argc = argc;
    node.left = static_cast<int32_t>(call_args.size());
    call_args.insert(call_args.end(), args, args + argc);
    return addNode(node);
}

}  // namespace tarnex
