// Module initialisation of nerit_record_console.record_layout: host imports, interned names,
// the formatter class and its constants.
#include "py/host.hpp"
#include "record_layout/formatter_type.hpp"
#include "record_layout/layout_state.hpp"

namespace nerit::layout {
namespace {

using py::Ref;

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
    Ref type_dict = py::compat::type_dict(reinterpret_cast<PyTypeObject*>(type.get()));
    if (!type_dict) return false;
    struct Native {
        Ref* slot;
        PyObject* name;
    };
    const Native natives[] = {{&s.native_format_event, s.attr_format_event.get()},
                              {&s.native_unpack, s.attr_unpack.get()},
                              {&s.native_with_expression, s.attr_with_expression.get()},
                              {&s.native_colorize_priority, s.attr_colorize_priority.get()},
                              {&s.native_colorize, s.attr_colorize.get()}};
    for (const Native& native : natives) {
        PyObject* descriptor = PyDict_GetItemWithError(type_dict.get(), native.name);
        if (descriptor == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, native.name);
            return false;
        }
        *native.slot = Ref::borrow(descriptor);
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
    s.formatter_type = type;
    return PyModule_AddObjectRef(module, "NeritEventFormatter", type.get()) == 0;
}

int exec_module(PyObject* module) {
    LayoutState* state = StateSlot::create(module);
    if (state == nullptr) return -1;
    LayoutState& s = *state;
    s.module = module;
    if (!s.intern_names() || !s.watchers.attach()) return -1;

    Ref locale_module = Ref::steal(PyImport_ImportModule("locale"));
    if (!locale_module || PyModule_AddObjectRef(module, "locale", locale_module.get()) < 0) {
        return -1;
    }
    Ref datetime_class = import_name("datetime", "datetime");
    if (!datetime_class || PyModule_AddObjectRef(module, "datetime", datetime_class.get()) < 0) {
        return -1;
    }
    s.original_datetime = datetime_class;
    Ref event_alias = import_name("nerit_record_console.record_source", "NeritEvent");
    if (!event_alias || PyModule_AddObjectRef(module, "NeritEvent", event_alias.get()) < 0) {
        return -1;
    }
    if (!add_formatter_class(module, s, locale_module.get()) || !publish_native_pass(module))
        return -1;
    return py::init_fast_paths_switch(module);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

}  // namespace

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "nerit_record_console.record_layout",
                          "Turning one event into text: the one-line, detailed, raw and "
                          "format-expression layouts, colours, Russian or English names.",
                          StateSlot::kSize,
                          nullptr,
                          slots,
                          StateSlot::traverse,
                          StateSlot::clear,
                          StateSlot::free};

}  // namespace nerit::layout

PyMODINIT_FUNC PyInit_record_layout() {
    return PyModuleDef_Init(&nerit::layout::module_def);
}
