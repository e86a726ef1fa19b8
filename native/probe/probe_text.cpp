// Probes of the text primitives (placeholder until they land).
#include "probe/probe.hpp"

namespace nerit::probe {

PyObject* escape_controls(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

}  // namespace nerit::probe
