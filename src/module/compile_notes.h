// The note a compile error of the package's query gains (PEP 678): the text
// on one line with carets under the part the error is about, and a hint for
// the mistakes of callers used to other languages. The message itself stays
// `_qelto.query`'s.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "errors.h"
#include "evaluation.h"
#include "tarnex/engine.h"

namespace qelto {

// Sets the Python exception of `failure`, with its note, and throws
// PythonError.
[[noreturn]] void raiseWithNote(const CompileFailure& failure, std::string_view text,
                                std::span<const std::string_view> names);

// The program, as `compiled` gives it; a compile error is raised as the
// Python exception, with its note, and PythonError thrown. Inline: it is on
// every call's way.
inline std::shared_ptr<const tarnex::PreparedProgram> compiledWithNote(std::string_view text,
                                                                       std::span<const std::string_view> names,
                                                                       tarnex::DivideMode divide) {
    try {
        return compiled(text, names, divide);
    } catch (const CompileFailure& failure) {
        raiseWithNote(failure, text, names);
    }
}

}  // namespace qelto
