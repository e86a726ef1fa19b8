// Module initialisation of nerit_record_console.record_layout: host imports, interned names,
// the formatter class and its constants.
#include <cstddef>
#include <utility>

#include "py/host.hpp"
#include "record_layout/formatter_type.hpp"
#include "record_layout/layout_state.hpp"

namespace nerit::layout {
namespace {

using py::Ref;

// Calls `visit` with the address of every strong reference held in the state.
template <typename Visit>
void for_each_reference(LayoutState& s, Visit&& visit) {
    PyObject** fields[] = {reinterpret_cast<PyObject**>(&s.formatter_type),
                           &s.attr_format_expression,
                           &s.attr_is_detailed,
                           &s.attr_is_raw,
                           &s.attr_no_color,
                           &s.attr_use_iso_date,
                           &s.attr_locale_const,
                           &s.attr_color_ok,
                           &s.attr_color_fail,
                           &s.attr_color_grey,
                           &s.attr_color_end,
                           &s.attr_unpack,
                           &s.attr_with_expression,
                           &s.attr_colorize_priority,
                           &s.attr_colorize,
                           &s.attr_datetime,
                           &s.attr_fast_paths,
                           &s.attr_fromisoformat,
                           &s.attr_strftime,
                           &s.attr_keys,
                           &s.attr_items,
                           &s.attr_pop,
                           &s.attr_get,
                           &s.attr_split,
                           &s.attr_replace,
                           &s.attr_capitalize,
                           &s.attr_join,
                           &s.key_msg,
                           &s.key_source,
                           &s.key_priority,
                           &s.key_isodate,
                           &s.key_date,
                           &s.key_type_ru,
                           &s.key_type_en,
                           &s.key_name_ru,
                           &s.key_name_en,
                           &s.text_nerit,
                           &s.text_dash,
                           &s.text_ru_ru,
                           &s.text_grey,
                           &s.text_separator,
                           &s.text_percent,
                           &s.text_empty,
                           &s.text_newline,
                           &s.text_clock_pattern,
                           &s.original_datetime,
                           &s.native_unpack,
                           &s.native_with_expression,
                           &s.native_colorize_priority,
                           &s.native_colorize};
    static_assert(sizeof(fields) / sizeof(fields[0]) ==
                  (offsetof(LayoutState, module) / sizeof(PyObject*)));
    for (PyObject** field : fields) visit(field);
}

bool intern_all(LayoutState& s) {
    struct Name {
        PyObject** slot;
        const char* text;
    };
    const Name names[] = {
        {&s.attr_format_expression, "_NeritEventFormatter__format_expression"},
        {&s.attr_is_detailed, "is_detailed"},
        {&s.attr_is_raw, "is_raw"},
        {&s.attr_no_color, "no_color"},
        {&s.attr_use_iso_date, "use_iso_date"},
        {&s.attr_locale_const, "LOCALE"},
        {&s.attr_color_ok, "COLOR_OK"},
        {&s.attr_color_fail, "COLOR_FAIL"},
        {&s.attr_color_grey, "COLOR_GREY"},
        {&s.attr_color_end, "COLOR_END"},
        {&s.attr_unpack, "_NeritEventFormatter__unpack_event_dict"},
        {&s.attr_with_expression, "_NeritEventFormatter__format_event_with_expression"},
        {&s.attr_colorize_priority, "_NeritEventFormatter__colorize_priority"},
        {&s.attr_colorize, "_NeritEventFormatter__colorize"},
        {&s.attr_datetime, "datetime"},
        {&s.attr_fast_paths, py::kFastPathsAttr},
        {&s.attr_fromisoformat, "fromisoformat"},
        {&s.attr_strftime, "strftime"},
        {&s.attr_keys, "keys"},
        {&s.attr_items, "items"},
        {&s.attr_pop, "pop"},
        {&s.attr_get, "get"},
        {&s.attr_split, "split"},
        {&s.attr_replace, "replace"},
        {&s.attr_capitalize, "capitalize"},
        {&s.attr_join, "join"},
        {&s.key_msg, "MSG"},
        {&s.key_source, "source"},
        {&s.key_priority, "PRIORITY"},
        {&s.key_isodate, "ISODATE"},
        {&s.key_date, "DATE"},
        {&s.key_type_ru, "type_ru"},
        {&s.key_type_en, "type_en"},
        {&s.key_name_ru, "name_ru"},
        {&s.key_name_en, "name_en"},
        {&s.text_nerit, "nerit"},
        {&s.text_dash, "-"},
        {&s.text_ru_ru, "ru_RU"},
        {&s.text_grey, "grey"},
        {&s.text_separator, ", "},
        {&s.text_percent, "%"},
        {&s.text_empty, ""},
        {&s.text_newline, "\n"},
        {&s.text_clock_pattern, "%d.%m.%Y %H:%M:%S"},
    };
    for (const Name& name : names) {
        *name.slot = PyUnicode_InternFromString(name.text);
        if (*name.slot == nullptr) return false;
    }
    return true;
}

// from <module_name> import <name>, with the host's ImportError when the name is missing.
Ref import_name(const char* module_name, const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return module;
    Ref value = py::getattr(module.get(), name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref package_name = Ref::steal(PyUnicode_FromString(module_name));
    if (!package_name) return Ref();
    Ref path = Ref::steal(PyModule_GetFilenameObject(module.get()));
    Ref message;
    if (!path) {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromFormat(
            "cannot import name '%s' from %R (unknown location)", name, package_name.get()));
    } else {
        message = Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name,
                                                  package_name.get(), path.get()));
    }
    if (!message) return Ref();
    PyErr_SetImportError(message.get(), package_name.get(), path.get());
    return Ref();
}

// Adds `value` as a class attribute, as a class body's assignment would.
bool set_class_constant(PyObject* type, const char* name, PyObject* value) {
    return value != nullptr && PyObject_SetAttrString(type, name, value) == 0;
}

bool add_formatter_class(PyObject* module, LayoutState& s, PyObject* locale_module) {
    Ref type = create_formatter_type(module);
    if (!type) return false;
    PyObject* type_dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    struct Native {
        PyObject** slot;
        PyObject* name;
    };
    const Native natives[] = {{&s.native_unpack, s.attr_unpack},
                              {&s.native_with_expression, s.attr_with_expression},
                              {&s.native_colorize_priority, s.attr_colorize_priority},
                              {&s.native_colorize, s.attr_colorize}};
    for (const Native& native : natives) {
        PyObject* descriptor = PyDict_GetItemWithError(type_dict, native.name);
        if (descriptor == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, native.name);
            return false;
        }
        *native.slot = Ref::borrow(descriptor).release();
    }

    Ref current = Ref::steal(PyObject_CallMethod(locale_module, "getlocale", nullptr));
    if (!current) return false;
    Ref language = Ref::steal(PySequence_GetItem(current.get(), 0));
    if (!language) return false;
    Ref ok = Ref::steal(PyUnicode_FromString("\x1b[93m"));
    Ref fail = Ref::steal(PyUnicode_FromString("\x1b[91m"));
    Ref grey = Ref::steal(PyUnicode_FromString("\x1b[90m"));
    Ref end = Ref::steal(PyUnicode_FromString("\x1b[0m"));
    if (!set_class_constant(type.get(), "LOCALE", language.get()) ||
        !set_class_constant(type.get(), "COLOR_OK", ok.get()) ||
        !set_class_constant(type.get(), "COLOR_FAIL", fail.get()) ||
        !set_class_constant(type.get(), "COLOR_GREY", grey.get()) ||
        !set_class_constant(type.get(), "COLOR_END", end.get())) {
        return false;
    }
    s.formatter_type = reinterpret_cast<PyTypeObject*>(type.new_ref());
    return PyModule_AddObjectRef(module, "NeritEventFormatter", type.get()) == 0;
}

int exec_module(PyObject* module) {
    LayoutState& s = *state_of(module);
    s.module = module;
    if (!intern_all(s)) return -1;

    Ref locale_module = Ref::steal(PyImport_ImportModule("locale"));
    if (!locale_module || PyModule_AddObjectRef(module, "locale", locale_module.get()) < 0) {
        return -1;
    }
    Ref datetime_class = import_name("datetime", "datetime");
    if (!datetime_class || PyModule_AddObjectRef(module, "datetime", datetime_class.get()) < 0) {
        return -1;
    }
    s.original_datetime = datetime_class.new_ref();
    Ref event_alias = import_name("nerit_record_console.record_source", "NeritEvent");
    if (!event_alias || PyModule_AddObjectRef(module, "NeritEvent", event_alias.get()) < 0) {
        return -1;
    }
    if (!add_formatter_class(module, s, locale_module.get())) return -1;
    return py::init_fast_paths_switch(module);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    LayoutState* s = state_of(module);
    if (s == nullptr) return 0;
    int result = 0;
    for_each_reference(*s, [&](PyObject** field) {
        if (result == 0 && *field != nullptr) result = visit(*field, arg);
    });
    return result;
}

int clear_module(PyObject* module) {
    LayoutState* s = state_of(module);
    if (s == nullptr) return 0;
    for_each_reference(
        *s, [](PyObject** field) { Ref dropped = Ref::steal(std::exchange(*field, nullptr)); });
    return 0;
}

void free_module(void* module) {
    clear_module(static_cast<PyObject*>(module));
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

}  // namespace

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "nerit_record_console.record_layout",
                          "Turning one event into text: the one-line, detailed, raw and "
                          "format-expression layouts, colours, Russian or English names.",
                          sizeof(LayoutState),
                          nullptr,
                          slots,
                          traverse_module,
                          clear_module,
                          free_module};

}  // namespace nerit::layout

PyMODINIT_FUNC PyInit_record_layout() {
    return PyModuleDef_Init(&nerit::layout::module_def);
}
