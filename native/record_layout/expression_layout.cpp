// The layout from a user's format expression: every "%<key>" replaced by the key's value, key
// by key in the event's order.
#include "record_layout/formatting.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

// text.replace("%" + key, value) by the host's own operations.
Ref host_replace(LayoutState& state, PyObject* text, PyObject* key, PyObject* value) {
    Ref placeholder = Ref::steal(PyNumber_Add(state.text_percent, key));
    if (!placeholder) return placeholder;
    PyObject* call[] = {text, placeholder.get(), value};
    return Ref::steal(PyObject_VectorcallMethod(state.attr_replace, call, 3, nullptr));
}

// The same, natively for str operands: the replacement is skipped when the placeholder does
// not occur, which is what str.replace would leave anyway.
Ref replace_placeholder(LayoutState& state, PyObject* text, PyObject* key, PyObject* value) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value)) {
        return host_replace(state, text, key, value);
    }
    if (!has_placeholder(text, key)) return Ref::borrow(text);
    Ref placeholder = Ref::steal(PyUnicode_Concat(state.text_percent, key));
    if (!placeholder) return placeholder;
    return Ref::steal(PyUnicode_Replace(text, placeholder.get(), value, -1));
}

}  // namespace

Ref expression_layout_native(Formatting& formatting, PyObject* event) {
    LayoutState& state = formatting.state();
    Ref text = py::getattr(formatting.self(), state.attr_format_expression);
    if (!text) return text;
    const bool native = formatting.fast_paths();
    auto step = [&](PyObject* key, PyObject* value) {
        text = native ? replace_placeholder(state, text.get(), key, value)
                      : host_replace(state, text.get(), key, value);
        return static_cast<bool>(text);
    };
    if (PyDict_CheckExact(event)) {
        const Py_ssize_t size = PyDict_GET_SIZE(event);
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(event, &pos, &key, &value)) {
            Ref held_key = Ref::borrow(key);
            Ref held_value = Ref::borrow(value);
            if (!step(key, value)) return Ref();
            if (PyDict_GET_SIZE(event) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return Ref();
            }
        }
        return text;
    }
    PyObject* call[] = {event};
    Ref items = Ref::steal(PyObject_VectorcallMethod(state.attr_items, call, 1, nullptr));
    if (!items) return items;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return iterator;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pair = Ref::steal(PySequence_Tuple(item.get()));
        if (!pair) return pair;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(
                PyExc_ValueError, "%s to unpack (expected 2)",
                PyTuple_GET_SIZE(pair.get()) < 2 ? "not enough values" : "too many values");
            return Ref();
        }
        if (!step(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1))) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return text;
}

}  // namespace nerit::layout
