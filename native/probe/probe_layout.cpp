// Probes of the layout primitives (placeholder until they land).
#include "probe/probe.hpp"

namespace nerit::probe {

PyObject* fromisoformat_text(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

}  // namespace nerit::probe
