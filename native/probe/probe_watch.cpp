// Probe of the guard layer: how many objects the interpreter's shared change watchers watch.
#include "probe/probe.hpp"
#include "py/guard.hpp"

namespace nerit::probe {

// () -> int | None: objects watched for the package's caches now; None where version tags
// answer instead (3.11).
PyObject* watched_objects(PyObject*, PyObject*) {
    if constexpr (!py::compat::kChangeWatchers) return py::none();
    py::Watchers watchers;
    if (!watchers.attach()) return nullptr;
    return PyLong_FromSize_t(watchers.watched_objects());
}

}  // namespace nerit::probe
