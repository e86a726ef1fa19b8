// Probes of the dates primitives (placeholder until they land).
#include "probe/probe.hpp"

namespace nerit::probe {

PyObject* isoparse(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

PyObject* find_date(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

}  // namespace nerit::probe
