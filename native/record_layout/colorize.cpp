// The colouring steps: grey secondary text, and the priority's colour by its severity name.
#include <cstring>
#include <iterator>

#include "record_layout/formatting.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

enum class Severity { kPlain, kOk, kFail };

// The colour class of `text` (exact str or None), by exact comparison with the priority names
// "critical", "crit", "alert", "emergency", "emerg" (fail) and "warning", "error", "err" (ok).
// Equal text has equal length and, being ASCII, one byte per character, so the length picks
// the names to compare with.
Severity severity_of(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return Severity::kPlain;
    const char* chars = static_cast<const char*>(PyUnicode_DATA(text));
    auto is = [chars]<std::size_t N>(const char (&name)[N]) {
        return std::memcmp(chars, name, N - 1) == 0;
    };
    switch (PyUnicode_GET_LENGTH(text)) {
        case 3:
            return is("err") ? Severity::kOk : Severity::kPlain;
        case 4:
            return is("crit") ? Severity::kFail : Severity::kPlain;
        case 5:
            if (is("alert") || is("emerg")) return Severity::kFail;
            return is("error") ? Severity::kOk : Severity::kPlain;
        case 7:
            return is("warning") ? Severity::kOk : Severity::kPlain;
        case 8:
            return is("critical") ? Severity::kFail : Severity::kPlain;
        case 9:
            return is("emergency") ? Severity::kFail : Severity::kPlain;
        default:
            return Severity::kPlain;
    }
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
        case Severity::kFail:
            return wrap(formatting, formatting.color_fail(), priority);
        case Severity::kOk:
            return wrap(formatting, formatting.color_ok(), priority);
        case Severity::kPlain:
            break;
    }
    return Ref::borrow(priority);
}

}  // namespace nerit::layout
