// The colouring steps: grey secondary text, and the priority's colour by its severity name.
#include <iterator>

#include "record_layout/formatting.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

// Whether `text` (exact str or None) is one of `names`, compared exactly.
bool is_one_of(PyObject* text, PyObject* const* names, std::size_t count) {
    if (!PyUnicode_CheckExact(text)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_Compare(text, names[i]) == 0) return true;
    }
    return false;
}

// COLOR_x + text + COLOR_END, each constant read through the instance.
Ref wrap(Formatting& formatting, PyObject* color_name, PyObject* text) {
    Ref color = py::getattr(formatting.self(), color_name);
    if (!color) return color;
    if (PyUnicode_CheckExact(color.get()) && PyUnicode_CheckExact(text)) {
        Ref end = py::getattr(formatting.self(), formatting.state().attr_color_end);
        if (!end) return end;
        return add3(color.get(), text, end.get());
    }
    Ref head = Ref::steal(PyNumber_Add(color.get(), text));
    if (!head) return head;
    Ref end = py::getattr(formatting.self(), formatting.state().attr_color_end);
    if (!end) return end;
    return Ref::steal(PyNumber_Add(head.get(), end.get()));
}

}  // namespace

Ref colorize_native(Formatting& formatting, PyObject* string, PyObject* color) {
    const int on = formatting.colour_on();
    if (on < 0) return Ref();
    if (!on) return Ref::borrow(string);
    LayoutState& state = formatting.state();
    if (color == Py_None || PyUnicode_Compare(color, state.text_grey) != 0) {
        // Only "grey" is a colour name; any other leaves the operation without a result.
        return Ref::borrow(Py_None);
    }
    // The constants come from this call's cache: the layouts colour several texts per event.
    PyObject* grey = formatting.color_grey();
    if (grey == nullptr) return Ref();
    if (PyUnicode_CheckExact(grey) && PyUnicode_CheckExact(string)) {
        PyObject* end = formatting.color_end();
        if (end == nullptr) return Ref();
        return add3(grey, string, end);
    }
    Ref head = Ref::steal(PyNumber_Add(grey, string));
    if (!head) return head;
    PyObject* end = formatting.color_end();
    if (end == nullptr) return Ref();
    return Ref::steal(PyNumber_Add(head.get(), end));
}

Ref colorize_priority_native(Formatting& formatting, PyObject* priority) {
    const int off = formatting.no_color();
    if (off < 0) return Ref();
    if (off) return Ref::borrow(priority);
    LayoutState& state = formatting.state();
    if (is_one_of(priority, state.priorities_fail, std::size(state.priorities_fail))) {
        return wrap(formatting, state.attr_color_fail, priority);
    }
    if (is_one_of(priority, state.priorities_ok, std::size(state.priorities_ok))) {
        return wrap(formatting, state.attr_color_ok, priority);
    }
    return Ref::borrow(priority);
}

}  // namespace nerit::layout
