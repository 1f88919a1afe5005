#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <pthread.h>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/parser.h"
#include "test_support.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

const std::vector<std::string> kNames = {"a", "b", "c", "d", "e", "x", "y"};

struct Parsed {
    std::vector<Node> nodes;
    int32_t root;
    std::vector<std::vector<int32_t>> arguments;  // per node; CALL only
};

Parsed parse(const std::string& text, const std::vector<std::string>& names = kNames) {
    std::vector<std::string_view> v = views(names);
    Parser parser(text, v);
    int32_t root = parser.parseExpression();
    EXPECT_TRUE(parser.atEnd()) << text;
    Parsed parsed{parser.tree(), root, {}};
    for (const Node& n : parsed.nodes) {
        std::span<const int32_t> args = n.kind == CALL ? parser.arguments(n) : std::span<const int32_t>();
        parsed.arguments.emplace_back(args.begin(), args.end());
    }
    return parsed;
}

TEST(Parser, ErrorMessages) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "Parse error"},          {"   ", "Parse error"},      {"x y", "Parse error"},
        {"2(3)", "Parse error"},      {"(x", "Parse error"},       {"()", "Parse error"},
        {"a ? b", "Parse error"},     {"a)", "Parse error"},       {"(a))", "Parse error"},
        {"2**3", "Parse error"},      {"a +", "Parse error"},      {"* a", "Parse error"},
        {",", "Parse error"},         {"a ? : b", "Parse error"},  {"sin(a b)", "Parse error"},
        {"sin(a,", "Parse error"},    {"z", "Unknown id/variable"}, {"sin", "Unknown id/variable"},
        {"a + zz", "Unknown id/variable"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(compileError(text, kNames), message) << text;
    EXPECT_EQ(compileError("x", {}), "Unknown id/variable");
}

// Each error with the span of the text it is about, drawn under the text:
// carets under the span, one caret after the end for an empty one.
TEST(Parser, ErrorsPointAtTheTokenTheyAreAbout) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"x y", "Parse error", "  ^"},
        {"2(3)", "Parse error", " ^"},
        {"(x", "Parse error", "  ^"},
        {"a +", "Parse error", "   ^"},
        {"", "Parse error", "^"},
        {"a ? b", "Parse error", "     ^"},
        {"a ? : b", "Parse error", "    ^"},
        {"(a))", "Parse error", "   ^"},
        {"2**3", "Parse error", "  ^"},
        {"a << >= b", "Parse error", "     ^^"},
        {"sin(a b)", "Parse error", "      ^"},
        {"a + zz", "Unknown id/variable", "    ^^"},
        {"nan * a", "Unknown id/variable", "^^^"},
        {"a + where(a, b, c)", "Unknown func", "    ^^^^^"},
        {"1 + POW(a)", "pow expects 2 arguments", "    ^^^"},
        {"max()", "min/max expect at least 1 argument", "^^^"},
        {"sqrt(a, b)", "Function expects 1 argument", "^^^^"},
        {"min(a,a,a,a,a,a,a,a, 9)", "Too many arguments", "                     ^"},
        {"a + 1 / 0", "Division by zero", "      ^"},
        {"a + (2 % (1 - 1))", "Modulo by zero", "       ^"},
        {"a + 1 @", "Lexer error: Unknown character", "      ^"},
    };
    for (const auto& [text, message, carets] : cases) {
        std::string error = "<no error>";
        try {
            compileWith(text, kNames);
        } catch (const CompileError& e) {
            const std::string under = std::string(e.offset(), ' ') + std::string(std::max<size_t>(e.length(), 1), '^');
            error = std::string(e.what()) + " " + under;
        }
        EXPECT_EQ(error, message + " " + carets) << text;
    }
}

TEST(Parser, VariablesMatchIgnoringCaseFirstWins) {
    Parsed p = parse("X", {"x"});
    EXPECT_EQ(p.nodes[p.root].kind, VAR);
    EXPECT_EQ(p.nodes[p.root].left, 0);
    p = parse("A", {"a", "A"});
    EXPECT_EQ(p.nodes[p.root].left, 0);
    p = parse("b", {"a", "B", "b"});
    EXPECT_EQ(p.nodes[p.root].left, 1);
    p = parse("sin", {"SIN"});
    EXPECT_EQ(p.nodes[p.root].kind, VAR);
}

TEST(Parser, ManyNamesResolveToTheFirstEqualOne) {
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) names.push_back(std::string("n").append(std::to_string(i)));
    names.insert(names.end(), {"N0", "n1500", "Zz", "ZZ", "zz"});  // later equals lose
    const std::pair<const char*, int32_t> cases[] = {
        {"n0", 0}, {"N0", 0}, {"n1500", 1500}, {"N2999", 2999}, {"zz", 3002}, {"ZZ", 3002},
    };
    for (const auto& [text, index] : cases) EXPECT_EQ(parse(text, names).nodes[0].left, index) << text;
    EXPECT_EQ(compileError("n3000", names), "Unknown id/variable");
}

TEST(Parser, PrefixOperatorsAndFolding) {
    Parsed p = parse("-2");
    EXPECT_EQ(p.nodes[p.root].kind, CONST);
    EXPECT_EQ(p.nodes[p.root].value, -2.0);
    EXPECT_EQ(p.nodes.size(), 1u);

    p = parse("- - x");
    const Node& outer = p.nodes[p.root];
    ASSERT_EQ(outer.kind, UNARY);
    EXPECT_EQ(outer.op, MINUS);
    EXPECT_EQ(p.nodes[outer.left].kind, UNARY);
    EXPECT_EQ(p.nodes[p.nodes[outer.left].left].kind, VAR);

    p = parse("+x");
    EXPECT_EQ(p.nodes[p.root].kind, UNARY);
    EXPECT_EQ(p.nodes[p.root].op, PLUS);
    EXPECT_EQ(parse("+2").nodes[0].value, 2.0);
}

TEST(Parser, FoldingIsLevelByLevel) {
    Parsed p = parse("1 + 2 + x");
    const Node& sum = p.nodes[p.root];
    ASSERT_EQ(sum.kind, BINARY);
    EXPECT_EQ(p.nodes[sum.left].kind, CONST);
    EXPECT_EQ(p.nodes[sum.left].value, 3.0);

    p = parse("x + 1 + 2");
    const Node& top = p.nodes[p.root];
    ASSERT_EQ(top.kind, BINARY);
    EXPECT_EQ(p.nodes[top.left].kind, BINARY);
    EXPECT_EQ(p.nodes[top.right].value, 2.0);
}

TEST(Parser, ConstantConditionChoosesBranch) {
    Parsed p = parse("1 ? 2 : x");
    EXPECT_EQ(p.nodes[p.root].kind, CONST);
    EXPECT_EQ(p.nodes[p.root].value, 2.0);
    p = parse("0 ? x : 3");
    EXPECT_EQ(p.nodes[p.root].value, 3.0);
    p = parse("sqrt(-1) ? x : 3");  // NaN is true
    EXPECT_EQ(p.nodes[p.root].kind, VAR);
    p = parse("-0.0 ? x : 3");
    EXPECT_EQ(p.nodes[p.root].kind, CONST);
}

// The tree as prefix notation: (op operands...), (? c x y), (name args...).
std::string shape(const Parsed& p, int32_t index) {
    const Node& n = p.nodes[index];
    std::vector<int32_t> operands;
    std::string text = "(";
    switch (n.kind) {
        case CONST: {
            char number[32];
            std::snprintf(number, sizeof number, "%g", n.value);
            return number;
        }
        case VAR: return kNames[n.left];
        case UNARY: operands = {n.left}; break;
        case BINARY: operands = {n.left, n.right}; break;
        case TERNARY: operands = {n.left, n.right, n.third}; break;
        case CALL: operands = p.arguments[index]; break;
    }
    text += n.kind == CALL ? BUILTIN_TABLE[n.func].name : TOKEN_SPELLINGS[n.op].symbol;
    for (int32_t operand : operands) {
        text += ' ';
        text += shape(p, operand);
    }
    return text + ")";
}

struct ShapeCase {
    const char* text;
    const char* shape;
};

class ParserShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(ParserShape, PrecedenceAndAssociativity) {
    const Parsed p = parse(GetParam().text);
    EXPECT_EQ(shape(p, p.root), GetParam().shape) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, ParserShape, testing::Values(
    ShapeCase{"a ? b : c ? d : e", "(? a b (? c d e))"},  // right-associative
    ShapeCase{"a || b ? c : d", "(? (|| a b) c d)"},      // the condition is a || b
    ShapeCase{"a ? b : c || d", "(? a b (|| c d))"},      // the else-branch is c || d
    ShapeCase{"a < b < c", "(< (< a b) c)"},
    ShapeCase{"!x == y", "(== (! x) y)"},
    ShapeCase{"a - b - c", "(- (- a b) c)"},
    ShapeCase{"a + b * c", "(+ a (* b c))"},
    ShapeCase{"a << b + c", "(<< a (+ b c))"},
    ShapeCase{"a & b ^ c | d", "(| (^ (& a b) c) d)"},
    ShapeCase{"a == b < c", "(== a (< b c))"},
    ShapeCase{"a || b && c", "(|| a (&& b c))"},
    ShapeCase{"a and b or not c", "(|| (&& a b) (! c))"},
    ShapeCase{"-a * ~b", "(* (- a) (~ b))"},
    ShapeCase{"max(a, b + c, sin(d))", "(max a (+ b c) (sin d))"}));

TEST(Parser, ChildrenPrecedeParentsAndUnusedFieldsAreZero) {
    Parsed p = parse("max(a, -b, 3) + (c ? d : e) * ~x");
    for (size_t i = 0; i < p.nodes.size(); ++i) {
        const Node& n = p.nodes[i];
        std::vector<int32_t> children = {n.left, n.right, n.third};
        if (n.kind == CALL) {
            EXPECT_EQ(n.argc, 3);
            EXPECT_EQ(n.right, 0);
            EXPECT_EQ(n.third, 0);
            children = p.arguments[i];
            EXPECT_EQ(children.size(), 3u);
        } else {
            EXPECT_EQ(n.argc, 0);
            EXPECT_EQ(n.func, 0);
        }
        if (n.kind != VAR) {
            for (int32_t c : children) EXPECT_LT(static_cast<size_t>(c), std::max<size_t>(i, 1));
        }
    }
}

// A call's arguments in source order, inner calls' arguments kept apart.
TEST(Parser, CallArgumentsInSourceOrder) {
    const std::pair<const char*, std::vector<NodeKind>> cases[] = {
        {"max(a, -b, 3)", {VAR, UNARY, CONST}},
        {"min(2, a)", {CONST, VAR}},
        {"pow(sin(a), min(b, c, 1))", {CALL, CALL}},
        {"max(1 + 2, a * b, c, d, e, x, y, sqrt(4))", {CONST, BINARY, VAR, VAR, VAR, VAR, VAR, CONST}},
        {"abs(a ? b : c)", {TERNARY}},
    };
    for (const auto& [text, kinds] : cases) {
        Parsed p = parse(text);
        ASSERT_EQ(p.nodes[p.root].kind, CALL) << text;
        const std::vector<int32_t>& args = p.arguments[p.root];
        ASSERT_EQ(args.size(), kinds.size()) << text;
        for (size_t k = 0; k < args.size(); ++k) EXPECT_EQ(p.nodes[args[k]].kind, kinds[k]) << text << " argument " << k;
    }
    Parsed p = parse("pow(sin(a), min(b, c, 1))");
    const std::vector<int32_t>& outer = p.arguments[p.root];
    EXPECT_EQ(p.arguments[outer[0]], std::vector<int32_t>{0});
    const std::vector<int32_t>& inner = p.arguments[outer[1]];
    ASSERT_EQ(inner.size(), 3u);
    EXPECT_EQ(p.nodes[inner[0]].left, 1);  // b
    EXPECT_EQ(p.nodes[inner[1]].left, 2);  // c
    EXPECT_EQ(p.nodes[inner[2]].value, 1.0);
}

std::string nested(int levels, const char* open, const char* close) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += open;
    s += "x";
    for (int i = 0; i < levels; ++i) s += close;
    return s;
}

TEST(Parser, NestingLimitOnBothSides) {
    const std::vector<std::string> x = {"x"};
    // The outermost expression is one level, so MAX_NESTING - 1 wrappers fit.
    EXPECT_EQ(compileError(nested(MAX_NESTING - 1, "(", ")"), x), "<no error>");
    EXPECT_EQ(compileError(nested(MAX_NESTING, "(", ")"), x), "Expression too deeply nested");
    EXPECT_EQ(compileError(nested(MAX_NESTING - 1, "-", ""), x), "<no error>");
    EXPECT_EQ(compileError(nested(MAX_NESTING, "-", ""), x), "Expression too deeply nested");
    EXPECT_EQ(compileError(nested(MAX_NESTING, "abs(", ")"), x), "Expression too deeply nested");
    EXPECT_EQ(compileError(nested(1000000, "(", ")"), x), "Expression too deeply nested");

    std::string chain = "x";
    for (int i = 0; i < MAX_NESTING; ++i) chain = "x ? x : " + chain;
    EXPECT_EQ(compileError(chain, x), "Expression too deeply nested");
}

// Sanitizers make every frame several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kSmallStack = 8u << 20;
#else
constexpr size_t kSmallStack = 1u << 20;
#endif

// The compile error (or "<no error>") of `text` compiled on a new thread
// with a stack of `stack_bytes`.
std::string compileErrorOnThread(const std::string& text, size_t stack_bytes) {
    struct Job {
        const std::string* text;
        std::string error;
    } job{&text, {}};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        Job* j = static_cast<Job*>(arg);
        j->error = compileError(*j->text, {"x"});
        return nullptr;
    };
    int created = pthread_create(&thread, &attr, run, &job);
    pthread_attr_destroy(&attr);
    if (created != 0) return "<no thread>";
    pthread_join(thread, nullptr);
    return job.error;
}

TEST(Parser, DeepestAcceptedNestingFitsAOneMebibyteThreadStack) {
    // Every level recurses through all twelve precedence functions; an
    // overflow here kills the test binary rather than failing an assertion.
    EXPECT_EQ(compileErrorOnThread(nested(MAX_NESTING - 1, "(", ")"), kSmallStack), "<no error>");
    EXPECT_EQ(compileErrorOnThread(nested(MAX_NESTING - 1, "-", ""), kSmallStack), "<no error>");
    EXPECT_EQ(compileErrorOnThread(nested(MAX_NESTING - 1, "abs(", ")"), kSmallStack), "<no error>");
}

struct DeepShape {
    const char* name;
    const char* open;
    const char* close;
};

// Every recursive path of the parser, each nesting in one place.
const DeepShape kDeepShapes[] = {
    {"parentheses", "(", ")"},       {"prefixes", "-", ""},        {"calls", "abs(", ")"},
    {"first argument", "max(", ", x)"}, {"last argument", "min(x, x, x, ", ")"},
    {"then-branch", "x ? ", " : x"}, {"else-branch", "x ? x : ", ""},
};

// Sanitized frames are about ten times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackScale = 8;
#else
constexpr size_t kStackScale = 1;
#endif

// A stack too small for the text ends in the nesting error, never in a
// crash (which would end this test binary); a shallow text still compiles
// on the smallest of these stacks.
TEST(Parser, SmallThreadStacksRefuseWhatTheyCannotHold) {
    for (const DeepShape& shape : kDeepShapes) {
        for (size_t kib : {64, 128, 256, 512}) {
            for (int depth : {MAX_NESTING - 1, MAX_NESTING}) {
                SCOPED_TRACE(testing::Message() << shape.name << " " << kib << " KiB depth " << depth);
                const std::string error =
                    compileErrorOnThread(nested(depth, shape.open, shape.close), kib * 1024 * kStackScale);
                EXPECT_TRUE(error == "<no error>" || error == "Expression too deeply nested" ||
                            error == "Expression too complex")  // min's last argument grows the stack
                    << error;
            }
        }
        SCOPED_TRACE(shape.name);
        EXPECT_EQ(compileErrorOnThread(nested(20, shape.open, shape.close), 64 * 1024 * kStackScale), "<no error>");
    }
    EXPECT_EQ(compileErrorOnThread(nested(MAX_NESTING - 1, "(", ")"), 64 * 1024 * kStackScale),
              "Expression too deeply nested");
}

TEST(Parser, LongFlatChainsAreNotNesting) {
    std::string sum = "x";
    for (int i = 1; i < 100000; ++i) sum += " + x";
    Program p = compileWith(sum, {"x"});
    EXPECT_EQ(p.code.size(), 2u * 100000u);
    std::string ones = "1";
    for (int i = 1; i < 100000; ++i) ones += "+1";
    EXPECT_EQ(folded(ones), 100000.0);
}

}  // namespace
