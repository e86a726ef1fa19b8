// Probe of the text primitive: control-character escaping of a str.
#include "probe/probe.hpp"
#include "py/text_escape.hpp"

namespace nerit::probe {

// (str) -> str: the text with control characters escaped; the same object when it has none.
PyObject* escape_controls(PyObject*, PyObject* args) {
    PyObject* text = nullptr;
    if (!PyArg_ParseTuple(args, "U:escape_controls", &text)) return nullptr;
    return py::escape_controls(text).release();
}

}  // namespace nerit::probe
