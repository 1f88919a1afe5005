// Parser: text in, an index-linked expression tree out, with every constant
// sub-expression folded while parsing and names resolved to variable indices.
// The whole text is lexed once before parsing starts (so a lexer error
// anywhere wins over a parse error before it), and again token by token as
// it is parsed; no token list is kept.
//
// Throws CompileError, at the token it is about, with "Parse error",
// "Unknown id/variable" or the call and folding messages, and
// std::runtime_error with "Expression too deeply nested".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnex/lexer.h"
#include "tarnex/names.h"
#include "tarnex/opcodes.h"
#include "tarnex/tokens.h"

namespace tarnex {

enum NodeKind : uint8_t { CONST = 0, VAR = 1, UNARY = 2, BINARY = 3, TERNARY = 4, CALL = 5 };

// Fixed-size (24 bytes: a long text has about one node per byte) and
// trivially copyable; children always precede their parent. Unused fields
// are 0.
struct Node {
    double value;   // CONST
    int32_t left;   // operand, left operand, condition; VAR: variable index;
                    // CALL: where its arguments start in the parser's list of them
    int32_t right;  // right operand, then-branch
    int32_t third;  // else-branch
    NodeKind kind;
    uint8_t op;     // UNARY, BINARY: a TokenKind; TERNARY: QUESTION
    uint8_t func;   // CALL: a BuiltinFunc id
    uint8_t argc;   // CALL: 1 to 8
};
static_assert(sizeof(Node) == 24);

// Parenthesis levels, prefix operators, call arguments and conditional
// branches each recurse. Beyond this many levels a text is refused, which
// keeps parsing within about half a megabyte of native stack.
constexpr int MAX_NESTING = 1000;

// The native stack a nesting level must find still free, or the text is
// refused as too deeply nested, so that parsing is safe on threads with
// small stacks too. Measured: a level takes at most 464 bytes (a call
// argument, which recurses through every precedence level), and what runs
// below the last check (the levels down to a primary, storing a node,
// folding a built-in, throwing an error) at most 2.5 KiB; under the
// sanitizers 4.5 KiB and 8.5 KiB. The reserve is three to four times that.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t STACK_RESERVE = 32 * 1024;
#else
constexpr size_t STACK_RESERVE = 8 * 1024;
#endif

class Parser {
public:
    // Lexes all of `text` (which must outlive the parser) and makes room for
    // its nodes: at most one per token.
    // Constant / and % fold as `divide` says.
    Parser(std::string_view text, const std::vector<std::string_view>& names,
           DivideMode divide = DivideMode::RAISE);

    int32_t parseExpression();
    bool atEnd() const { return current.kind == END; }
    // "Parse error" at the first token after the expression, if any.
    void requireEnd() const;
    DivideMode divideMode() const { return divide; }
    const std::vector<Node>& tree() const { return nodes; }
    // The argument nodes of a CALL node, in source order.
    std::span<const int32_t> arguments(const Node& call) const {
        return std::span<const int32_t>(call_args).subspan(static_cast<size_t>(call.left), call.argc);
    }

private:
    int32_t parseLogicalAnd();
    int32_t parseBitOr();
    int32_t parseBitXor();
    int32_t parseBitAnd();
    int32_t parseEquality();
    int32_t parseRelational();
    int32_t parseShift();
    int32_t parseAdditive();
    int32_t parseMultiplicative();
    int32_t parseUnary();
    int32_t parsePrimary();
    int32_t parseVariable();
    int32_t parseCall();
    int32_t finishCall(std::string_view name, const int32_t* args, uint8_t argc);
    [[noreturn]] void failAt(const Token& token, const char* message) const;
    [[noreturn]] void failAt(std::string_view piece, const char* message) const;

    int32_t addNode(const Node& node);
    int32_t addConstant(double value);
    int32_t addOperation(int32_t kind, int32_t op, int32_t left, int32_t right = 0, int32_t third = 0);
    void advance();
    void expect(int32_t kind);
    bool accept(int32_t kind);
    int32_t combine(int32_t op, size_t op_offset, int32_t left, int32_t right);
    template <class Next>
    int32_t parseBinaryLevel(std::initializer_list<int32_t> ops, Next next);

    friend class NestingGuard;

    std::string_view text;
    Lexer lexer;
    DivideMode divide;
    Token current;    // the token being looked at
    Token lookahead;  // the one after it
    std::vector<Node> nodes;
    std::vector<int32_t> call_args;  // each CALL's arguments, side by side
    // Each name to the position of the first name equal to it ignoring case.
    std::unordered_map<std::string_view, int32_t, CaseInsensitiveHash, CaseInsensitiveEqual> variables;
    int depth = 0;
    uintptr_t stack_floor;  // deeper levels than this address are refused
};

}  // namespace tarnex
