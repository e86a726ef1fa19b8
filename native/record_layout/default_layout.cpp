// The default one-line layout: date, priority, type and name joined by a grey ", ".
#include <iterator>
#include <string_view>

#include "core/iso_clock.hpp"
#include "record_layout/formatting.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

// event.get(key, fallback)
Ref event_get(LayoutState& state, PyObject* event, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(event)) {
        PyObject* value = PyDict_GetItemWithError(event, key);
        if (value == nullptr && PyErr_Occurred()) return Ref();
        return Ref::borrow(value != nullptr ? value : fallback);
    }
    PyObject* call[] = {event, key, fallback};
    return Ref::steal(
        PyObject_VectorcallMethod(state.attr_get.get(), call, fallback ? 3 : 2, nullptr));
}

// The native reading of an ISO text; empty Ref without an error when it declines.
Ref clock_text_native(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return Ref();
    std::string_view ascii(static_cast<const char*>(PyUnicode_DATA(text)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    char clock[core::kClockTextLength];
    if (!core::format_iso_clock(ascii, clock)) return Ref();
    return ascii_text(std::string_view(clock, core::kClockTextLength));
}

// datetime.fromisoformat(text).strftime("%d.%m.%Y %H:%M:%S"), "datetime" being the module's.
Ref clock_text(Formatting& formatting, PyObject* text) {
    LayoutState& state = formatting.state();
    PyObject* datetime_class = py::module_global(state.module, state.attr_datetime.get());
    if (datetime_class == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.attr_datetime.get());
        return Ref();
    }
    if (datetime_class == state.original_datetime.get() && formatting.native_dates()) {
        Ref native = clock_text_native(text);
        if (native || PyErr_Occurred()) return native;
    }
    Ref holder = Ref::borrow(datetime_class);
    PyObject* read_call[] = {datetime_class, text};
    Ref moment = Ref::steal(
        PyObject_VectorcallMethod(state.attr_fromisoformat.get(), read_call, 2, nullptr));
    if (!moment) return moment;
    PyObject* write_call[] = {moment.get(), state.text_clock_pattern.get()};
    return Ref::steal(PyObject_VectorcallMethod(state.attr_strftime.get(), write_call, 2, nullptr));
}

Ref event_time(Formatting& formatting, PyObject* event) {
    LayoutState& state = formatting.state();
    const int iso = formatting.use_iso_date();
    if (iso < 0) return Ref();
    if (iso) return Ref::steal(PyObject_GetItem(event, state.key_isodate.get()));
    Ref date = event_get(state, event, state.key_date.get(), Py_None);
    if (!date) return date;
    Ref text = event_get(state, event, state.key_isodate.get(), date.get());
    if (!text) return text;
    return clock_text(formatting, text.get());
}

// The whole line in one allocation, for the usual case: native colouring, str colours and
// str items, an exact dict event. Empty Ref without an error when the case is not usual (the
// caller then takes the general way, which raises the host's errors in the host's order).
Ref default_line_direct(Formatting& formatting, PyObject* event, PyObject* time, PyObject* type,
                        PyObject* name) {
    LayoutState& state = formatting.state();
    if (!PyDict_CheckExact(event) || !formatting.native_colorize() || !PyUnicode_CheckExact(time) ||
        !PyUnicode_CheckExact(type) || !PyUnicode_CheckExact(name)) {
        return Ref();
    }
    const int colour = formatting.colour_on();
    if (colour < 0) return Ref();
    PyObject* grey = nullptr;
    PyObject* end = nullptr;
    if (!formatting.grey_pair(colour, grey, end)) return Ref();
    if (colour && (!PyUnicode_CheckExact(grey) || !PyUnicode_CheckExact(end))) return Ref();
    PyObject* priority = PyDict_GetItemWithError(event, state.key_priority.get());
    if (priority == nullptr) {
        if (!PyErr_Occurred()) py::raise_key_error(state.key_priority.get());
        return Ref();
    }
    if (!PyUnicode_CheckExact(priority)) return Ref();
    PyObject* separator = state.text_separator.get();
    if (!colour) {
        PyObject* pieces[] = {time, separator, priority, separator, type, separator, name};
        return concat(pieces, std::size(pieces));
    }
    PyObject* pieces[] = {grey, time, end,  grey, separator, end,       priority, grey, separator,
                          end,  grey, type, end,  grey,      separator, end,      name};
    return concat(pieces, std::size(pieces));
}

}  // namespace

Ref default_layout(Formatting& formatting, PyObject* event) {
    LayoutState& state = formatting.state();
    Ref time = event_time(formatting, event);
    if (!time) return time;
    const int russian = formatting.is_russian();
    if (russian < 0) return Ref();
    PyObject* type_key = russian ? state.key_type_ru.get() : state.key_type_en.get();
    Ref type = event_get(state, event, type_key, state.text_empty.get());
    if (!type) return type;
    PyObject* name_key = russian ? state.key_name_ru.get() : state.key_name_en.get();
    Ref name = event_get(state, event, name_key, state.text_empty.get());
    if (!name) return name;

    Ref line = default_line_direct(formatting, event, time.get(), type.get(), name.get());
    if (line || PyErr_Occurred()) return line;

    Ref separator = formatting.colorize(state.text_separator.get(), state.text_grey.get());
    if (!separator) return separator;
    Ref items[4];
    items[0] = formatting.colorize(time.get(), state.text_grey.get());
    if (!items[0]) return Ref();
    items[1] = Ref::steal(PyObject_GetItem(event, state.key_priority.get()));
    if (!items[1]) return Ref();
    items[2] = formatting.colorize(type.get(), state.text_grey.get());
    if (!items[2]) return Ref();
    items[3] = name;
    if (PyUnicode_CheckExact(separator.get())) {
        Ref pieces = Ref::steal(
            PyTuple_Pack(4, items[0].get(), items[1].get(), items[2].get(), items[3].get()));
        if (!pieces) return pieces;
        return Ref::steal(PyUnicode_Join(separator.get(), pieces.get()));
    }
    Ref listed = Ref::steal(PyList_New(4));
    if (!listed) return listed;
    for (Py_ssize_t i = 0; i < 4; ++i) PyList_SET_ITEM(listed.get(), i, items[i].release());
    PyObject* call[] = {separator.get(), listed.get()};
    return Ref::steal(PyObject_VectorcallMethod(state.attr_join.get(), call, 2, nullptr));
}

}  // namespace nerit::layout
