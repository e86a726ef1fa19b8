// The colouring steps: grey secondary text, and the priority's colour by its severity name.
#include <cstring>
#include <iterator>

#include "record_layout/formatting.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

// Whether `text` (exact str or None) is one of `names`, compared exactly. The names are plain
// ASCII str, so equal text has equal length and kind, and one byte comparison settles it.
bool is_one_of(PyObject* text, PyObject* const* names, std::size_t count) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_GET_LENGTH(names[i]) == length &&
            std::memcmp(PyUnicode_DATA(names[i]), data, static_cast<std::size_t>(length)) == 0) {
            return true;
        }
    }
    return false;
}

// color + text + COLOR_END, as Python evaluates it (COLOR_END is read after the first "+").
Ref wrap(Formatting& formatting, PyObject* color, PyObject* text) {
    if (color == nullptr) return Ref();
    if (PyUnicode_CheckExact(color) && PyUnicode_CheckExact(text)) {
        PyObject* end = formatting.color_end();
        if (end == nullptr) return Ref();
        return add3(color, text, end);
    }
    Ref head = Ref::steal(PyNumber_Add(color, text));
    if (!head) return head;
    PyObject* end = formatting.color_end();
    if (end == nullptr) return Ref();
    return Ref::steal(PyNumber_Add(head.get(), end));
}

}  // namespace

Ref colorize_native(Formatting& formatting, PyObject* string, PyObject* color) {
    const int on = formatting.colour_on();
    if (on < 0) return Ref();
    if (!on) return Ref::borrow(string);
    LayoutState& state = formatting.state();
    if (color == Py_None ||
        (color != state.text_grey && PyUnicode_Compare(color, state.text_grey) != 0)) {
        // Only "grey" is a colour name; any other leaves the operation without a result.
        return Ref::borrow(Py_None);
    }
    return wrap(formatting, formatting.color_grey(), string);
}

Ref colorize_priority_native(Formatting& formatting, PyObject* priority) {
    const int off = formatting.no_color();
    if (off < 0) return Ref();
    if (off) return Ref::borrow(priority);
    LayoutState& state = formatting.state();
    if (is_one_of(priority, state.priorities_fail, std::size(state.priorities_fail))) {
        return wrap(formatting, formatting.color_fail(), priority);
    }
    if (is_one_of(priority, state.priorities_ok, std::size(state.priorities_ok))) {
        return wrap(formatting, formatting.color_ok(), priority);
    }
    return Ref::borrow(priority);
}

}  // namespace nerit::layout
