// Argument binding for the formatter's methods: positional-or-keyword parameters as a Python
// def binds them, and the exact-str argument check of the typed parameters.
#include "record_layout/arguments.hpp"

namespace nerit::layout {

bool bind_arguments(const char* function, std::initializer_list<const char*> names,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    const auto positional = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    if (positional > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     function, count + 1, count == 0 ? "" : "s", positional + 1,
                     positional == 0 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < positional ? args[i] : nullptr;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        Py_ssize_t i = 0;
        for (const char* name : names) {
            if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, name) == 0) {
                slot = i;
                break;
            }
            ++i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                         keyword);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", function,
                         keyword);
            return false;
        }
        out[slot] = args[positional + k];
    }
    Py_ssize_t i = 0;
    for (const char* name : names) {
        if (static_cast<std::size_t>(i) < required && out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                         function, name);
            return false;
        }
        ++i;
    }
    return true;
}

bool check_text_argument(PyObject* value, const char* name) {
    if (PyUnicode_CheckExact(value) || value == Py_None) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 PyUnicode_Type.tp_name, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace nerit::layout
