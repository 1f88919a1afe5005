#include "evaluation.h"

#include <optional>
#include <string>

#include "cache.h"
#include "errors.h"
#include "interpreter_lock.h"
#include "tarnex/engine.h"
#include "tarnex/lexer.h"

namespace qelto {
namespace {

// Compiling touches no Python object, so a long text is compiled with the
// interpreter lock released. From this length on a compilation takes half a
// millisecond or more (about 30 ns a byte, `make bench`), a tenth of the
// interpreter's switch interval; shorter texts keep the lock, since taking
// it back from busy threads can cost more than compiling them.
constexpr size_t RELEASE_LOCK_MIN_TEXT = 16 * 1024;

tarnex::Program compileLettingThreadsRun(std::string_view text, const std::vector<std::string_view>& names,
                                         tarnex::DivideMode divide) {
    if (text.size() < RELEASE_LOCK_MIN_TEXT) return tarnex::compile(text, names, divide);
    std::optional<tarnex::Program> program;
    runWithoutLock([&] { program.emplace(tarnex::compile(text, names, divide)); });
    return std::move(*program);
}

}  // namespace

std::shared_ptr<const tarnex::PreparedProgram> compiled(std::string_view expr, std::span<const std::string_view> names,
                                                        tarnex::DivideMode divide) {
    try {
        static tarnex::ProgramCache cache;
        if (auto found = cache.find(expr, names, divide)) return found;
        const std::vector<std::string_view> list(names.begin(), names.end());
        return cache.insert(expr, names, tarnex::prepare(compileLettingThreadsRun(expr, list, divide)), divide);
    } catch (const tarnex::CompileError& e) {
        throw CompileFailure(expr, e.what(), CompileFailure::Span{e.offset(), e.length()});
    } catch (const std::exception& e) {
        throw CompileFailure(expr, e.what(), std::nullopt);
    }
}

// Between two slices the call takes the interpreter lock back just long
// enough to let Python run its signal handlers, and keeps it when one raised.
// At exit the interpreter ends a daemon thread as it takes the lock back: that
// unwind passes on without the lock.
void evaluateInterruptibly(const tarnex::PreparedProgram& program, const tarnex::InputLayout& inputs,
                           double* out) {
    PyThreadState* state = PyEval_SaveThread();
    bool retaking = false;
    bool finished = false;
    try {
        finished = tarnex::evaluateInSlices(inputs, out, program, [&] {
            retaking = true;
            PyEval_RestoreThread(state);
            retaking = false;
            if (PyErr_CheckSignals() != 0) return true;
            state = PyEval_SaveThread();
            return false;
        });
    } catch (...) {
        if (!retaking) PyEval_RestoreThread(state);
        throw;
    }
    if (!finished) throw PythonError();
    PyEval_RestoreThread(state);
}

}  // namespace qelto
