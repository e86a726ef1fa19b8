// Probes of the text primitives: control-character escaping over each width of host string.
#include <span>

#include "core/control_escape.hpp"
#include "probe/probe.hpp"

namespace nerit::probe {

namespace {

template <class Unit>
PyObject* escape_units(PyObject* text, int kind) {
    const std::span<const Unit> units(static_cast<const Unit*>(PyUnicode_DATA(text)),
                                      static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    const std::size_t first = core::find_control(units);
    if (first == units.size()) return py::Ref::borrow(text).release();
    const auto escaped = core::escape_controls(units, first);
    return PyUnicode_FromKindAndData(kind, escaped.data(), static_cast<Py_ssize_t>(escaped.size()));
}

}  // namespace

// (str) -> str: the text with control characters escaped; the same object when it has none.
PyObject* escape_controls(PyObject*, PyObject* args) {
    PyObject* text = nullptr;
    if (!PyArg_ParseTuple(args, "U:escape_controls", &text) || PyUnicode_READY(text) < 0) {
        return nullptr;
    }
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return escape_units<Py_UCS1>(text, PyUnicode_1BYTE_KIND);
        case PyUnicode_2BYTE_KIND:
            return escape_units<Py_UCS2>(text, PyUnicode_2BYTE_KIND);
        default:
            return escape_units<Py_UCS4>(text, PyUnicode_4BYTE_KIND);
    }
}

}  // namespace nerit::probe
