// Escaping control characters in events before they reach the formatter: event text is written
// by whoever triggered the event, and must not be able to drive the user's terminal.
#include "py/text_escape.hpp"
#include "record_console/event_escape.hpp"

namespace nerit::console {

namespace {

using py::Ref;

Ref escape_value(PyObject* value);

// A new dictionary only when some key or value changed; the key order is kept.
Ref escape_dict(PyObject* dict) {
    Ref copy;
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        Ref new_key = escape_value(key);
        if (!new_key) return {};
        Ref new_value = escape_value(value);
        if (!new_value) return {};
        if (!copy && (!new_key.is(key) || !new_value.is(value))) {
            copy = Ref::steal(PyDict_New());
            if (!copy) return {};
            // Copy the unchanged pairs seen so far, in their order.
            Py_ssize_t replay = 0;
            PyObject* old_key = nullptr;
            PyObject* old_value = nullptr;
            for (Py_ssize_t i = 0; i < index && PyDict_Next(dict, &replay, &old_key, &old_value);
                 ++i) {
                if (PyDict_SetItem(copy.get(), old_key, old_value) < 0) return {};
            }
        }
        if (copy && PyDict_SetItem(copy.get(), new_key.get(), new_value.get()) < 0) return {};
        ++index;
    }
    return copy ? copy : Ref::borrow(dict);
}

// A new list only when some item changed.
Ref escape_list(PyObject* list) {
    Ref copy;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        Ref new_item = escape_value(item);
        if (!new_item) return {};
        if (!copy && !new_item.is(item)) {
            copy = Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
            if (!copy) return {};
        }
        if (copy && PyList_SetItem(copy.get(), i, new_item.release()) < 0) return {};
    }
    return copy ? copy : Ref::borrow(list);
}

Ref escape_value(PyObject* value) {
    if (PyUnicode_Check(value)) return py::escape_controls(value);
    const bool is_dict = PyDict_Check(value);
    if (!is_dict && !PyList_Check(value)) return Ref::borrow(value);
    if (Py_EnterRecursiveCall(" while escaping an event") != 0) return {};
    Ref escaped = is_dict ? escape_dict(value) : escape_list(value);
    Py_LeaveRecursiveCall();
    return escaped;
}

// True when escape_value would hand `value` back unchanged; decides without a reference count
// change or an allocation, so the usual clean event costs one read of its texts.
bool is_clean(PyObject* value) {
    if (PyUnicode_Check(value)) return py::has_no_controls(value);
    const bool is_dict = PyDict_Check(value);
    if (!is_dict && !PyList_Check(value)) return true;
    // Too deep to check here: the escaping pass raises the host's recursion error.
    if (Py_EnterRecursiveCall(" while escaping an event") != 0) {
        PyErr_Clear();
        return false;
    }
    bool clean = true;
    if (is_dict) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (clean && PyDict_Next(value, &position, &key, &item)) {
            clean = is_clean(key) && is_clean(item);
        }
    } else {
        for (Py_ssize_t i = 0; clean && i < PyList_GET_SIZE(value); ++i) {
            clean = is_clean(PyList_GET_ITEM(value, i));
        }
    }
    Py_LeaveRecursiveCall();
    return clean;
}

}  // namespace

Ref escape_event(PyObject* event) {
    if (is_clean(event)) return Ref::borrow(event);
    return escape_value(event);
}

}  // namespace nerit::console
