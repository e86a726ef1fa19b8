// Control-character escaping of str objects; the byte-level work is core/control_escape.
#include "py/text_escape.hpp"

#include <cstddef>
#include <span>

#include "core/control_escape.hpp"

namespace nerit::py {
namespace {

template <class Unit>
Ref escape_units(PyObject* text, int kind) {
    const std::span<const Unit> units(static_cast<const Unit*>(PyUnicode_DATA(text)),
                                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    const std::size_t first = core::find_control(units);
    if (first == units.size()) return Ref::borrow(text);
    const auto escaped = core::escape_controls(units, first);
    return Ref::steal(
        PyUnicode_FromKindAndData(kind, escaped.data(), static_cast<Py_ssize_t>(escaped.size())));
}

template <class Unit>
bool clean_units(PyObject* text) {
    const std::span<const Unit> units(static_cast<const Unit*>(PyUnicode_DATA(text)),
                                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    return core::find_control(units) == units.size();
}

}  // namespace

bool has_no_controls(PyObject* text) {
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();
        return false;  // the escaping pass reports the error
    }
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return clean_units<Py_UCS1>(text);
        case PyUnicode_2BYTE_KIND:
            return clean_units<Py_UCS2>(text);
        default:
            return clean_units<Py_UCS4>(text);
    }
}

Ref escape_controls(PyObject* text) {
    if (PyUnicode_READY(text) < 0) return {};
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return escape_units<Py_UCS1>(text, PyUnicode_1BYTE_KIND);
        case PyUnicode_2BYTE_KIND:
            return escape_units<Py_UCS2>(text, PyUnicode_2BYTE_KIND);
        default:
            return escape_units<Py_UCS4>(text, PyUnicode_4BYTE_KIND);
    }
}

}  // namespace nerit::py
