// Per-module data of record_layout: interned names, the native method objects and the host
// facilities captured at load.
#pragma once

#include "py/host.hpp"

namespace nerit::layout {

using py::Ref;

// Strong references, released by the module's clear slot. Names are interned once so that
// attribute and key lookups hit the fast identity checks.
struct LayoutState {
    PyTypeObject* formatter_type;
    // Attribute names.
    PyObject* attr_format_expression;  // _NeritEventFormatter__format_expression
    PyObject* attr_is_detailed;
    PyObject* attr_is_raw;
    PyObject* attr_no_color;
    PyObject* attr_use_iso_date;
    PyObject* attr_locale_const;  // LOCALE
    PyObject* attr_color_ok;
    PyObject* attr_color_fail;
    PyObject* attr_color_grey;
    PyObject* attr_color_end;
    PyObject* attr_unpack;           // _NeritEventFormatter__unpack_event_dict
    PyObject* attr_with_expression;  // _NeritEventFormatter__format_event_with_expression
    PyObject* attr_colorize_priority;
    PyObject* attr_colorize;
    PyObject* attr_datetime;  // module global "datetime"
    PyObject* attr_fast_paths;
    PyObject* attr_fromisoformat;
    PyObject* attr_strftime;
    PyObject* attr_keys;
    PyObject* attr_items;
    PyObject* attr_pop;
    PyObject* attr_get;
    PyObject* attr_split;
    PyObject* attr_replace;
    PyObject* attr_capitalize;
    PyObject* attr_join;
    // Event keys and fixed texts.
    PyObject* key_msg;
    PyObject* key_source;
    PyObject* key_priority;
    PyObject* key_isodate;
    PyObject* key_date;
    PyObject* key_type_ru;
    PyObject* key_type_en;
    PyObject* key_name_ru;
    PyObject* key_name_en;
    PyObject* text_nerit;
    PyObject* text_dash;
    PyObject* text_ru_ru;
    PyObject* text_grey;
    PyObject* text_separator;  // ", "
    PyObject* text_percent;
    PyObject* text_empty;
    PyObject* text_newline;
    PyObject* text_clock_pattern;  // "%d.%m.%Y %H:%M:%S"
    // The class datetime.datetime as imported at load: the native date reader stands in for
    // its fromisoformat only while the module's "datetime" is still this object.
    PyObject* original_datetime;
    // The method descriptors of the class as created, to spot overrides.
    PyObject* native_unpack;
    PyObject* native_with_expression;
    PyObject* native_colorize_priority;
    PyObject* native_colorize;
    PyObject* module;  // borrowed: the state lives inside it
};

extern PyModuleDef module_def;

inline LayoutState* state_of(PyObject* module) {
    return static_cast<LayoutState*>(PyModule_GetState(module));
}

// State reached from a class in the formatter hierarchy (the defining class of a method).
inline LayoutState* state_of_class(PyTypeObject* defining_class) {
    return static_cast<LayoutState*>(PyType_GetModuleState(defining_class));
}

// State reached from an instance of the formatter or of a subclass; nullptr with an error set
// when the object does not belong to this module.
inline LayoutState* state_of_instance(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    return module == nullptr ? nullptr : state_of(module);
}

}  // namespace nerit::layout
