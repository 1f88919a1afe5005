// Compile and evaluate on a few generated elements, and check the result
// against constant folding. Input layout: byte 0 is control (low two bits:
// elements - 1; bit 2: also run a tiled copy wide enough for the thread
// team, for programs of at most WIDE_MAX_CODE instructions), bytes 1..12
// are the values of a, b, c for up to four elements (one byte each, decoded
// by `decodeValue`), the rest is the expression text.
//
// Folding check: each variable is replaced by a literal of its value, and
// the constant text must fold to exactly the value the evaluators computed
// for that element. Folding does not short-circuit, so a zero divisor that
// only an untaken branch meets fails it while evaluation succeeds; such
// cases are checked only for texts without branches.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "tarnex/engine.h"
#include "tarnex/lexer.h"

namespace {

using tarnex::Program;

constexpr size_t VARIABLES = 3;
constexpr size_t MAX_ELEMENTS = 4;
constexpr size_t HEADER = 1 + VARIABLES * MAX_ELEMENTS;
const std::vector<std::string_view> NAMES = {"a", "b", "c"};
// Longer programs over the wide run cost the fuzzer more than they find.
constexpr size_t WIDE_MAX_CODE = 100;

// Bytes below 32 pick a value from the table: signed zeros, specials, the
// edges of the 64-bit integer conversion and of the shift count, halves for
// rounding; the others are the half-integers from -54 to 57.5.
double decodeValue(uint8_t byte) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    static const double special[32] = {
        0.0,     -0.0,     1.0,      -1.0,   0.5,    -0.5,  2.0,    3.0,
        nan,     inf,      -inf,     1e308,  -1e308, 5e-324, 1e-310, 1e-5,
        0x1p63,  -0x1p63,  0x1p64,   1e19,   0x1p63 - 1024.0, -0x1p63 - 4096.0, 0.1, 5.9,
        63.0,    64.0,     65.0,     -64.0,  2.5,    -2.5,  -7.0,   1.5e-323,
    };
    if (byte < 32) return special[byte];
    return (static_cast<int>(byte) - 140) / 2.0;
}

struct Outcome {
    bool ok = true;
    double value = 0.0;
    std::string error;
};

bool isRunTimeMessage(std::string_view message) {
    return message == "Division by zero" || message == "Modulo by zero";
}

// Runs `evaluate` and turns an evaluation error into an outcome; anything
// but the two run-time messages is a fault.
template <class Evaluate>
Outcome attempt(Evaluate evaluate, std::string_view text) {
    Outcome outcome;
    try {
        outcome.value = evaluate();
    } catch (const std::runtime_error& e) {
        outcome.ok = false;
        outcome.error = e.what();
        if (!isRunTimeMessage(outcome.error)) fuzz::fail("evaluation failed with " + outcome.error, text);
    } catch (...) {
        fuzz::fail("evaluation threw something other than std::runtime_error", text);
    }
    return outcome;
}

std::string literal(double v) {
    if (std::isnan(v)) return "(sqrt(-1))";
    if (std::isinf(v)) return v > 0 ? "(1e308*10)" : "(-(1e308*10))";
    char digits[40];
    std::snprintf(digits, sizeof digits, "%.17g", std::fabs(v));
    std::string text = std::signbit(v) ? "(-(" : "(";
    text += digits;
    text += std::signbit(v) ? "))" : ")";
    return text;
}

// The text with every variable reference replaced by the literal of its
// value; an identifier followed by "(" is a call and stays.
std::string substitute(const std::vector<tarnex::Token>& tokens, std::string_view text, const double* values) {
    std::string result;
    size_t copied = 0;
    for (size_t t = 0; t + 1 < tokens.size(); ++t) {
        const tarnex::Token& token = tokens[t];
        if (token.kind != tarnex::IDENT || tokens[t + 1].kind == tarnex::LPAREN) continue;
        size_t v = 0;
        while (!tarnex::equalsIgnoringCase(NAMES[v], token.text)) ++v;
        result.append(text.substr(copied, token.offset - copied));
        result.append(literal(values[v]));
        copied = token.offset + token.text.size();
    }
    result.append(text.substr(copied));
    return result;
}

bool hasBitwise(const std::vector<tarnex::Token>& tokens) {
    for (const tarnex::Token& token : tokens)
        if (token.kind == tarnex::AMP || token.kind == tarnex::PIPE || token.kind == tarnex::CARET) return true;
    return false;
}

bool hasBranches(const std::vector<tarnex::Token>& tokens) {
    for (const tarnex::Token& token : tokens)
        if (token.kind == tarnex::QUESTION || token.kind == tarnex::AND || token.kind == tarnex::OR) return true;
    return false;
}

class Case {
public:
    Case(const uint8_t* data, size_t size)
        : elements_((data[0] & 3u) + 1),
          wide_((data[0] & 4u) != 0),
          text_(reinterpret_cast<const char*>(data) + HEADER, size - HEADER) {
        for (size_t i = 0; i < elements_; ++i)
            for (size_t v = 0; v < VARIABLES; ++v) rows_[i][v] = decodeValue(data[1 + i * VARIABLES + v]);
        for (size_t v = 0; v < VARIABLES; ++v)
            for (size_t i = 0; i < elements_; ++i) columns_[v].push_back(rows_[i][v]);
    }

    void run() {
        std::string message;
        Program compiled;
        if (!fuzz::tryCompile(text_, NAMES, compiled, message)) return;
        fuzz::checkInvariants(compiled, NAMES, text_);
        const auto prepared = tarnex::prepare(std::move(compiled));  // as the module does before caching it
        const Program& program = prepared->program();
        std::vector<Outcome> scalar;
        for (size_t i = 0; i < elements_; ++i)
            scalar.push_back(attempt([&] { return tarnex::evaluateScalar(program, rows_[i]); }, text_));
        const std::vector<tarnex::Token> tokens = tarnex::Lexer(text_).tokenize();
        // The per-element evaluator converts the right operand of &, | and ^
        // with to_uint64; folding, and block mode in code without jumps, with
        // to_int64. Values are compared only between routes that agree.
        const bool unsigned_differs = hasBitwise(tokens) && !tarnex::hasJumps(program.code);
        std::vector<double> block = checkBlock(*prepared, scalar, unsigned_differs);
        checkParallel(*prepared, block, scalar);
        checkFolding(program, tokens, scalar, block);
    }

private:
    std::vector<const double*> inputs() const {
        return {columns_[0].data(), columns_[1].data(), columns_[2].data()};
    }

    // The block interpreter against the per-element results: it fails iff
    // some element fails, with that element's message (the first failing
    // one when the program goes element by element), and agrees bit for bit.
    std::vector<double> checkBlock(const tarnex::PreparedProgram& prepared, const std::vector<Outcome>& scalar,
                                   bool unsigned_differs) {
        const Program& program = prepared.program();
        std::vector<double> out(elements_);
        std::vector<const double*> in = inputs();
        Outcome block = attempt(
            [&] {
                tarnex::evaluateBlock(prepared, elements_, out.data(), in.data());
                return 0.0;
            },
            text_);
        const Outcome* first_failure = nullptr;
        bool message_seen = false;
        for (const Outcome& s : scalar) {
            if (s.ok) continue;
            if (first_failure == nullptr) first_failure = &s;
            message_seen = message_seen || s.error == block.error;
        }
        if (block.ok != (first_failure == nullptr)) fuzz::fail("block and per-element evaluation disagree on failing", text_);
        if (!block.ok && !message_seen) fuzz::fail("block failed with a message no element fails with", text_);
        if (!block.ok && tarnex::hasJumps(program.code) && block.error != first_failure->error)
            fuzz::fail("element-wise block did not stop at the first failing element", text_);
        for (size_t i = 0; block.ok && !unsigned_differs && i < elements_; ++i)
            if (!fuzz::sameValue(out[i], scalar[i].value)) fuzz::fail("block and per-element results differ", text_);
        checkInputsUnchanged();
        return block.ok ? out : std::vector<double>{};
    }

    void checkParallel(const tarnex::PreparedProgram& program, const std::vector<double>& block,
                       const std::vector<Outcome>& scalar) {
        std::set<std::string> messages;
        for (const Outcome& s : scalar)
            if (!s.ok) messages.insert(s.error);
        compareParallel(program, static_cast<int64_t>(elements_), block, messages);
        if (wide_ && program.program().code.size() <= WIDE_MAX_CODE)
            compareParallel(program, tarnex::PARALLEL_MIN_ELEMENTS + static_cast<int64_t>(elements_), block,
                            messages);
    }

    // Runs the driver over `n` elements, the generated ones repeated, and
    // checks each element against the block result of its original.
    void compareParallel(const tarnex::PreparedProgram& program, int64_t n, const std::vector<double>& block,
                         const std::set<std::string>& messages) {
        std::vector<std::vector<double>> tiled(VARIABLES);
        for (size_t v = 0; v < VARIABLES; ++v)
            for (int64_t j = 0; j < n; ++j) tiled[v].push_back(columns_[v][static_cast<size_t>(j) % elements_]);
        std::vector<const double*> in = {tiled[0].data(), tiled[1].data(), tiled[2].data()};
        std::vector<double> out(static_cast<size_t>(n));
        Outcome result = attempt(
            [&] {
                tarnex::evaluateParallel(VARIABLES, tarnex::BLOCK_SIZE, out.data(), program, n, in);
                return 0.0;
            },
            text_);
        if (result.ok != messages.empty()) fuzz::fail("parallel and per-element evaluation disagree on failing", text_);
        if (!result.ok && messages.count(result.error) == 0)
            fuzz::fail("parallel failed with a message no element fails with", text_);
        for (int64_t j = 0; result.ok && j < n; ++j)
            if (!fuzz::sameValue(out[static_cast<size_t>(j)], block[static_cast<size_t>(j) % elements_]))
                fuzz::fail("parallel and block results differ", text_);
    }

    // Folding is compared with block mode where the code has no jumps (both
    // convert with to_int64), else with the per-element evaluator, except
    // where &, | or ^ make their conversions differ.
    void checkFolding(const Program& program, const std::vector<tarnex::Token>& tokens,
                      const std::vector<Outcome>& scalar, const std::vector<double>& block) {
        bool branches = hasBranches(tokens);
        bool bitwise = hasBitwise(tokens);
        bool jumps = tarnex::hasJumps(program.code);
        for (size_t i = 0; i < elements_; ++i) {
            std::string constant_text = substitute(tokens, text_, rows_[i]);
            Program folded;
            std::string message;
            if (!fuzz::tryCompile(constant_text, NAMES, folded, message)) {
                checkFoldingFailure(message, branches, scalar[i], constant_text);
                continue;
            }
            bool single = folded.code.size() == 2 && folded.code[0].opcode == 0 && folded.code[0].operand == 0;
            if (!single) fuzz::fail("a constant text did not fold to one constant", constant_text);
            if (!scalar[i].ok) fuzz::fail("evaluation failed where folding succeeded: " + scalar[i].error, constant_text);
            const bool from_block = !jumps && !block.empty();
            if (bitwise && !from_block) continue;
            const double evaluated = from_block ? block[i] : scalar[i].value;
            if (!fuzz::sameValue(folded.constants[0], evaluated)) {
                std::fprintf(stderr, "folded %.17g, evaluated %.17g for the original text: %.*s\n",
                             folded.constants[0], evaluated, static_cast<int>(text_.size()), text_.data());
                fuzz::fail("folded and evaluated values differ", constant_text);
            }
        }
    }

    // Literals add up to three nesting levels.
    void checkFoldingFailure(const std::string& message, bool branches, const Outcome& scalar,
                             std::string_view constant_text) {
        if (message == "Expression too deeply nested") return;
        if (!isRunTimeMessage(message)) fuzz::fail("a constant text failed with " + message, constant_text);
        if (!branches && (scalar.ok || scalar.error != message))
            fuzz::fail("folding failed with " + message + " but evaluation did not", constant_text);
    }

    void checkInputsUnchanged() const {
        for (size_t v = 0; v < VARIABLES; ++v)
            for (size_t i = 0; i < elements_; ++i)
                if (!fuzz::sameValue(columns_[v][i], rows_[i][v])) fuzz::fail("an input was written", text_);
    }

    size_t elements_;
    bool wide_;
    std::string_view text_;
    double rows_[MAX_ELEMENTS][VARIABLES] = {};
    std::vector<double> columns_[VARIABLES];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < HEADER) return 0;
    Case(data, size).run();
    return 0;
}
