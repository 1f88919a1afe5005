// The note a compile error of the package's query gains (PEP 678): the text
// on one line with carets under the part the error is about, and a hint for
// the mistakes of callers used to other languages. The message itself stays
// `_qelto.query`'s.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "tarnex/engine.h"

namespace qelto {

// The program, as `compiled` gives it; a compile error is raised as the
// Python exception, with its note, and PythonError thrown.
std::shared_ptr<const tarnex::PreparedProgram> compiledWithNote(std::string_view text,
                                                                std::span<const std::string_view> names);

}  // namespace qelto
