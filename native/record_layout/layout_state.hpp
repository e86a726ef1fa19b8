// Per-module data of record_layout: interned names, the native method objects and the host
// facilities captured at load, declared once in tables that generate their interning, traverse
// and clear.
#pragma once

#include "py/guard.hpp"
#include "py/host.hpp"
#include "py/module_state.hpp"

namespace nerit::layout {

using py::Ref;

// Attribute names, event keys and fixed texts, interned once so that attribute and key lookups
// hit the fast identity checks.
#define NERIT_LAYOUT_NAMES(X)                                                                     \
    X(attr_format_expression, "_NeritEventFormatter__format_expression")                          \
    X(attr_is_detailed, "is_detailed")                                                            \
    X(attr_is_raw, "is_raw")                                                                      \
    X(attr_no_color, "no_color")                                                                  \
    X(attr_use_iso_date, "use_iso_date")                                                          \
    X(attr_locale_const, "LOCALE")                                                                \
    X(attr_color_ok, "COLOR_OK")                                                                  \
    X(attr_color_fail, "COLOR_FAIL")                                                              \
    X(attr_color_grey, "COLOR_GREY")                                                              \
    X(attr_color_end, "COLOR_END")                                                                \
    X(attr_format_event, "format_event")                                                      \
    X(attr_unpack, "_NeritEventFormatter__unpack_event_dict")                                     \
    X(attr_with_expression, "_NeritEventFormatter__format_event_with_expression")                 \
    X(attr_colorize_priority, "_NeritEventFormatter__colorize_priority")                          \
    X(attr_colorize, "_NeritEventFormatter__colorize")                                            \
    X(attr_datetime, "datetime")                                                                  \
    X(attr_fast_paths, py::kFastPathsAttr)                                                        \
    X(attr_fromisoformat, "fromisoformat")                                                        \
    X(attr_strftime, "strftime")                                                                  \
    X(attr_keys, "keys")                                                                          \
    X(attr_items, "items")                                                                        \
    X(attr_pop, "pop")                                                                            \
    X(attr_get, "get")                                                                            \
    X(attr_split, "split")                                                                        \
    X(attr_replace, "replace")                                                                    \
    X(attr_capitalize, "capitalize")                                                              \
    X(attr_join, "join")                                                                          \
    X(key_msg, "MSG")                                                                             \
    X(key_source, "source")                                                                       \
    X(key_priority, "PRIORITY")                                                                   \
    X(key_isodate, "ISODATE")                                                                     \
    X(key_date, "DATE")                                                                           \
    X(key_type_ru, "type_ru")                                                                     \
    X(key_type_en, "type_en")                                                                     \
    X(key_name_ru, "name_ru")                                                                     \
    X(key_name_en, "name_en")                                                                     \
    X(text_nerit, "nerit")                                                                        \
    X(text_dash, "-")                                                                             \
    X(text_ru_ru, "ru_RU")                                                                        \
    X(text_grey, "grey")                                                                          \
    X(text_separator, ", ")                                                                       \
    X(text_percent, "%")                                                                          \
    X(text_empty, "")                                                                             \
    X(text_newline, "\n")                                                                         \
    X(text_clock_pattern, "%d.%m.%Y %H:%M:%S")

#define NERIT_LAYOUT_REFS(X)                                                                     \
    X(formatter_type)                                                                            \
    /* The class datetime.datetime as imported at load: the native date reader stands in for   \
       its fromisoformat only while the module's "datetime" is still this object. */            \
    X(original_datetime)                                                                         \
    /* The method descriptors of the class as created, to spot overrides. */                    \
    X(native_format_event)                                                                       \
    X(native_unpack)                                                                             \
    X(native_with_expression)                                                                    \
    X(native_colorize_priority)                                                                  \
    X(native_colorize)

struct LayoutState {
    NERIT_STATE_TABLE(NERIT_LAYOUT_NAMES, NERIT_LAYOUT_REFS)
    PyObject* module = nullptr;  // borrowed: the state lives inside it
    py::Watchers watchers;

    int traverse(visitproc visit, void* arg) const { return traverse_table(visit, arg); }
    void clear() { clear_table(); }
};

using StateSlot = py::ModuleStateSlot<LayoutState>;

extern PyModuleDef module_def;

inline LayoutState* state_of(PyObject* module) {
    return StateSlot::of(module);
}

// State reached from a class in the formatter hierarchy (the defining class of a method).
inline LayoutState* state_of_class(PyTypeObject* defining_class) {
    return *static_cast<LayoutState**>(PyType_GetModuleState(defining_class));
}

// State reached from an instance of the formatter or of a subclass; nullptr with an error set
// when the object does not belong to this module.
inline LayoutState* state_of_instance(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    return module == nullptr ? nullptr : state_of(module);
}

}  // namespace nerit::layout
