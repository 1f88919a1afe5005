#include "engine_decisions.h"

#include "interpreter_lock.h"
#include "tarnex/engine.h"

namespace qelto {

PyObject* vectorLibm(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        using tarnex::detail::VectorLibmFunction;
        Ref decisions = Ref::steal(PyDict_New());
        if (!decisions) return nullptr;
        for (int index = 0; index < tarnex::detail::VECTOR_LIBM_FUNCTIONS; ++index) {
            const auto function = static_cast<VectorLibmFunction>(index);
            const tarnex::detail::VectorLibmDecision decision = tarnex::detail::vectorLibmDecision(function);
            const Ref entry = Ref::steal(Py_BuildValue("(Os)", decision.used ? Py_True : Py_False, decision.reason));
            const char* name = tarnex::detail::vectorLibmName(function);
            if (!entry || PyDict_SetItemString(decisions.get(), name, entry.get()) < 0) return nullptr;
        }
        return decisions.release();
    });
}

}  // namespace qelto
