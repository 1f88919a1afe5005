#include "compile_notes.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <string>
#include <vector>

#include "interpreter_lock.h"
#include "tarnex/names.h"

namespace qelto {
namespace {

// A note stays one line on a terminal: of a longer text it shows this many
// characters before the span and after its start, the rest elided.
constexpr Py_ssize_t SHOWN_BEFORE = 40;
constexpr Py_ssize_t SHOWN_AFTER = 30;
constexpr const char* INDENT = "  ";

constexpr const char* POWER_HINT = "** is not an operator: write pow(a, b) for a to the power b";
constexpr const char* CARET_HINT = "^ is exclusive or (of the integer parts), not a power: write pow(a, b)";
constexpr const char* WHERE_HINT = "where(c, a, b) is written c ? a : b";
constexpr const char* INF_NAN_HINT = "inf and nan are not literals: pass them as values, as in inf=math.inf";

// Callers may pass **locals(): past this many names the hint counts the rest.
constexpr size_t NAMES_LISTED = 20;

std::string unknownNameHint(std::string_view name, std::span<const std::string_view> names) {
    if (names.empty()) return "'" + std::string(name) + "' is not a value: no values were given";
    std::string hint = "'" + std::string(name) + "' is none of the values given (";
    const size_t listed = std::min(names.size(), NAMES_LISTED);
    for (size_t i = 0; i < listed; ++i) hint += (i > 0 ? ", " : "") + std::string(names[i]);
    if (listed < names.size()) hint += " and " + std::to_string(names.size() - listed) + " more";
    return hint + ")";
}

// The second of two adjacent stars, where a power was meant.
bool isPowerStars(std::string_view text, size_t offset) {
    return offset > 0 && offset < text.size() && text[offset] == '*' && text[offset - 1] == '*';
}

// A ^ before a number, as in x^2 or x ^ -0.5, reads as a power. Elsewhere
// ^ is taken as meant: it is a valid operator.
bool looksLikePowerCaret(std::string_view text) {
    for (size_t i = text.find('^'); i != std::string_view::npos; i = text.find('^', i + 1)) {
        const size_t next = text.find_first_not_of(" \t\n\v\f\r+-", i + 1);
        if (next != std::string_view::npos && (std::isdigit(static_cast<unsigned char>(text[next])) || text[next] == '.'))
            return true;
    }
    return false;
}

std::vector<std::string> hintsFor(const std::string& inner, CompileFailure::Span span, std::string_view text,
                                  std::span<const std::string_view> names) {
    std::vector<std::string> hints;
    const std::string_view token = text.substr(span.offset, span.length);
    if (inner == "Unknown id/variable") {
        hints.push_back(unknownNameHint(token, names));
        if (tarnex::equalsIgnoringCase(token, "inf") || tarnex::equalsIgnoringCase(token, "nan"))
            hints.push_back(INF_NAN_HINT);
    }
    if (inner == "Unknown func" && tarnex::equalsIgnoringCase(token, "where")) hints.push_back(WHERE_HINT);
    const bool stars = inner == "Parse error" && isPowerStars(text, span.offset);
    if (stars) hints.push_back(POWER_HINT);
    if (stars || looksLikePowerCaret(text)) hints.push_back(CARET_HINT);
    return hints;
}

// Part of the text as Python shows it on one line: bytes that are not
// UTF-8 as \xNN, control characters (tabs and line breaks too) as spaces.
Ref shown(std::string_view bytes) {
    std::string line(bytes);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return Ref::steal(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "backslashreplace"));
}

// How many characters the span shows as: at least one caret, even at the end.
Py_ssize_t caretCount(std::string_view span) {
    const Ref text = Ref::steal(PyUnicode_DecodeUTF8(span.data(), static_cast<Py_ssize_t>(span.size()), "strict"));
    if (!text) {
        PyErr_Clear();
        return 1;
    }
    return std::clamp<Py_ssize_t>(PyUnicode_GET_LENGTH(text.get()), 1, SHOWN_AFTER);
}

// The text and the carets under the span, as two indented lines.
Ref pointedText(std::string_view text, CompileFailure::Span span) {
    Ref head = shown(text.substr(0, span.offset)), tail = shown(text.substr(span.offset));
    if (!head || !tail) return {};
    const Py_ssize_t head_length = PyUnicode_GET_LENGTH(head.get()), tail_length = PyUnicode_GET_LENGTH(tail.get());
    if (head_length > SHOWN_BEFORE + 3) {
        const Ref kept = Ref::steal(PyUnicode_Substring(head.get(), head_length - SHOWN_BEFORE, head_length));
        if (!kept) return {};
        head = Ref::steal(PyUnicode_FromFormat("...%U", kept.get()));
    }
    if (tail_length > SHOWN_AFTER + 3) {
        const Ref kept = Ref::steal(PyUnicode_Substring(tail.get(), 0, SHOWN_AFTER));
        if (!kept) return {};
        tail = Ref::steal(PyUnicode_FromFormat("%U...", kept.get()));
    }
    if (!head || !tail) return {};
    const std::string under(static_cast<size_t>(PyUnicode_GET_LENGTH(head.get())), ' ');
    const std::string carets(static_cast<size_t>(caretCount(text.substr(span.offset, span.length))), '^');
    return Ref::steal(PyUnicode_FromFormat("%s%U%U\n%s%s%s", INDENT, head.get(), tail.get(), INDENT, under.c_str(),
                                           carets.c_str()));
}

// The note, or None when there is nothing to point at; null with a Python
// error set when writing it failed.
Ref noteFor(const CompileFailure& failure, std::string_view text, std::span<const std::string_view> names) {
    if (!failure.span()) return Ref::borrow(Py_None);
    std::string lines;
    for (const std::string& hint : hintsFor(failure.inner(), *failure.span(), text, names)) lines += "\n" + hint;
    const Ref pointed = pointedText(text, *failure.span());
    const Ref hints = Ref::steal(PyUnicode_DecodeUTF8(lines.data(), static_cast<Py_ssize_t>(lines.size()), "replace"));
    if (!pointed || !hints) return {};
    return Ref::steal(PyUnicode_Concat(pointed.get(), hints.get()));
}

// A note that cannot be written leaves the exception as it was.
void addNote(const CompileFailure& failure, std::string_view text, std::span<const std::string_view> names) {
    PyObject* error = PyErr_GetRaisedException();
    const Ref note = noteFor(failure, text, names);
    if (note && note.get() != Py_None) {
        const Ref added = Ref::steal(PyObject_CallMethod(error, "add_note", "O", note.get()));
        static_cast<void>(added);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error);
}

}  // namespace

void raiseWithNote(const CompileFailure& failure, std::string_view text, std::span<const std::string_view> names) {
    translateModuleError(std::make_exception_ptr(failure));
    addNote(failure, text, names);
    throw PythonError();
}

}  // namespace qelto
