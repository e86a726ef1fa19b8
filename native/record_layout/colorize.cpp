// The colouring steps: grey secondary text, and the priority's colour by its severity name.
#include <string_view>

#include "core/severity.hpp"
#include "record_layout/formatting.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

using core::Severity;

// The colour class of `text` (exact str or None): only ASCII text can be a priority name.
Severity severity_of(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return Severity::plain;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    return core::severity_of(
        std::string_view(static_cast<const char*>(PyUnicode_DATA(text)), length));
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
        (color != state.text_grey.get() && PyUnicode_Compare(color, state.text_grey.get()) != 0)) {
        // Only "grey" is a colour name; any other leaves the operation without a result.
        return Ref::borrow(Py_None);
    }
    return wrap(formatting, formatting.color_grey(), string);
}

Ref colorize_priority_native(Formatting& formatting, PyObject* priority) {
    const int off = formatting.no_color();
    if (off < 0) return Ref();
    if (off) return Ref::borrow(priority);
    switch (severity_of(priority)) {
        case Severity::fail:
            return wrap(formatting, formatting.color_fail(), priority);
        case Severity::ok:
            return wrap(formatting, formatting.color_ok(), priority);
        case Severity::plain:
            break;
    }
    return Ref::borrow(priority);
}

}  // namespace nerit::layout
