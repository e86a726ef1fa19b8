// Probes of the lines primitives (placeholder until they land).
#include "probe/probe.hpp"

namespace nerit::probe {

PyObject* recent_line_starts(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

}  // namespace nerit::probe
