// Escaping control characters in events before they reach the formatter: event text is written
// by whoever triggered the event, and must not be able to drive the user's terminal.
//
// Keys and text values are escaped where a layout prints them as they are: at the top level, in
// the message block "MSG" and in each of its members' mappings, whose fields the formatter lifts
// to the top. A list or mapping anywhere else reaches the screen through its text form, which
// already writes control characters as escapes; escaping inside it would show a backslash that
// the event does not hold, so it is handed over untouched.
#include "py/text_escape.hpp"
#include "record_console/event_escape.hpp"

namespace nerit::console {

namespace {

using py::Ref;

// How deep a mapping lies: the event, its message block, or one member's fields.
enum class Level { event, message_block, fields };

bool is_message_key(PyObject* key) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "MSG") == 0;
}

// The level of the mapping held under `key` in a mapping at `level`, if its text is escaped.
bool inner_level(Level level, PyObject* key, Level& out) {
    if (level == Level::event && is_message_key(key)) {
        out = Level::message_block;
        return true;
    }
    if (level == Level::message_block) {
        out = Level::fields;
        return true;
    }
    return false;
}

Ref escape_dict(PyObject* dict, Level level);

// A key or value of a mapping at `level`, escaped where it is printed as it is.
Ref escape_item(PyObject* value, Level level, PyObject* key) {
    if (PyUnicode_Check(value)) return py::escape_controls(value);
    Level inner = Level::event;
    if (PyDict_Check(value) && inner_level(level, key, inner)) return escape_dict(value, inner);
    return Ref::borrow(value);
}

// A new dictionary only when some key or value changed; the key order is kept.
Ref escape_dict(PyObject* dict, Level level) {
    Ref copy;
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        Ref new_key = PyUnicode_Check(key) ? py::escape_controls(key) : Ref::borrow(key);
        if (!new_key) return {};
        Ref new_value = escape_item(value, level, key);
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

// True when escape_dict would hand `dict` back unchanged; decides without a reference count
// change or an allocation, so the usual clean event costs one read of its texts.
bool is_clean(PyObject* dict, Level level) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (PyUnicode_Check(key) && !py::has_no_controls(key)) return false;
        if (PyUnicode_Check(value)) {
            if (!py::has_no_controls(value)) return false;
            continue;
        }
        Level inner = Level::event;
        if (PyDict_Check(value) && inner_level(level, key, inner) && !is_clean(value, inner)) {
            return false;
        }
    }
    return true;
}

}  // namespace

Ref escape_event(PyObject* event) {
    if (PyUnicode_Check(event)) return py::escape_controls(event);
    if (!PyDict_Check(event) || is_clean(event, Level::event)) return Ref::borrow(event);
    return escape_dict(event, Level::event);
}

}  // namespace nerit::console
