// Probes of the json primitives (placeholder until they land).
#include "probe/probe.hpp"

namespace nerit::probe {

PyObject* json_loads(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

}  // namespace nerit::probe
