// Probes of the layout primitives: the native reading of ISO date texts.
#include <string_view>

#include "core/iso_clock.hpp"
#include "probe/probe.hpp"

namespace nerit::probe {

// (str) -> the "%d.%m.%Y %H:%M:%S" text, or None when the native reader declines the text.
PyObject* fromisoformat_text(PyObject*, PyObject* args) {
    PyObject* text = nullptr;
    if (!PyArg_ParseTuple(args, "U:fromisoformat_text", &text)) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return nullptr;
    char clock[core::kClockTextLength];
    if (!PyUnicode_IS_ASCII(text) ||
        !core::format_iso_clock(std::string_view(utf8, static_cast<std::size_t>(size)), clock)) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromStringAndSize(clock, core::kClockTextLength);
}

}  // namespace nerit::probe
