// A formatter's settings as attribute lookup would find them, kept in the instance between
// calls and trusted only while the instance dict, the class hierarchy and the module dict are
// unchanged (the host's version tags say so).
#include "record_layout/settings_cache.hpp"

#include <utility>

namespace nerit::layout {
namespace {

bool is_settled_value(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyBool_Check(value) || value == Py_None ||
           PyLong_CheckExact(value) || PyFloat_CheckExact(value);
}

// What PyObject_GenericGetAttr would return for `name`, without calling anything; nullptr
// (no error) when that needs code to run or the name is missing.
PyObject* plain_attribute(PyObject* self, PyObject* dict, PyObject* name) {
    PyObject* from_type = _PyType_Lookup(Py_TYPE(self), name);
    if (from_type != nullptr && Py_TYPE(from_type)->tp_descr_get != nullptr) return nullptr;
    PyObject* value = dict == nullptr ? nullptr : PyDict_GetItemWithError(dict, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) PyErr_Clear();
        value = from_type;
    }
    return value != nullptr && is_settled_value(value) ? value : nullptr;
}

std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

bool type_version_valid(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
}

}  // namespace

const SettingsSnapshot* SettingsCache::current(PyObject* self, LayoutState& state) {
    PyTypeObject* self_type = Py_TYPE(self);
    if (self_type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject** dict_slot = _PyObject_GetDictPtr(self);
    PyObject* dict = dict_slot == nullptr ? nullptr : *dict_slot;
    if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
    PyObject* module_dict = PyModule_GetDict(state.module);
    if (valid && dict == instance_dict && version_of(dict) == dict_version && self_type == type &&
        type_version_valid(self_type) && self_type->tp_version_tag == type_version &&
        version_of(module_dict) == module_dict_version) {
        return &snapshot;
    }

    release();
    PyObject* values[9] = {};
    PyObject* names[9] = {
        state.attr_no_color,     state.attr_is_raw,       state.attr_is_detailed,
        state.attr_use_iso_date, state.attr_locale_const, state.attr_format_expression,
        state.attr_color_ok,     state.attr_color_fail,   state.attr_color_grey};
    for (int i = 0; i < 9; ++i) {
        values[i] = plain_attribute(self, dict, names[i]);
        if (values[i] == nullptr) return nullptr;
    }
    PyObject* color_end = plain_attribute(self, dict, state.attr_color_end);
    if (color_end == nullptr) return nullptr;
    SettingsSnapshot taken{};
    // Truth of settled values cannot fail or run code.
    taken.no_color = PyObject_IsTrue(values[0]) == 1;
    taken.is_raw = PyObject_IsTrue(values[1]) == 1;
    taken.is_detailed = PyObject_IsTrue(values[2]) == 1;
    taken.use_iso_date = PyObject_IsTrue(values[3]) == 1;
    if (PyUnicode_CheckExact(values[4])) {
        taken.russian = PyUnicode_Compare(values[4], state.text_ru_ru) == 0;
    } else if (values[4] != Py_None) {
        return nullptr;  // a number compared with a str: leave it to the live path
    }
    taken.has_expression = PyObject_IsTrue(values[5]) == 1;
    taken.native_unpack = py::resolves_to(self, state.attr_unpack, state.native_unpack);
    taken.native_colorize = py::resolves_to(self, state.attr_colorize, state.native_colorize);
    taken.native_colorize_priority =
        py::resolves_to(self, state.attr_colorize_priority, state.native_colorize_priority);
    taken.native_with_expression =
        py::resolves_to(self, state.attr_with_expression, state.native_with_expression);
    taken.fast_paths = py::fast_paths_enabled(state.module, state.attr_fast_paths);
    PyObject* datetime_global = py::module_global(state.module, state.attr_datetime);
    if (datetime_global == nullptr && PyErr_Occurred()) PyErr_Clear();
    taken.original_datetime = datetime_global == state.original_datetime;
    if (PyErr_Occurred() || !type_version_valid(self_type)) {
        PyErr_Clear();
        return nullptr;
    }
    taken.format_expression = values[5];
    taken.color_ok = values[6];
    taken.color_fail = values[7];
    taken.color_grey = values[8];
    taken.color_end = color_end;
    PyObject* keep[5] = {values[5], values[6], values[7], values[8], color_end};
    for (int i = 0; i < 5; ++i) owned[i] = py::Ref::borrow(keep[i]).release();
    snapshot = taken;
    instance_dict = dict;
    dict_version = version_of(dict);
    module_dict_version = version_of(module_dict);
    type = self_type;
    type_version = self_type->tp_version_tag;
    valid = true;
    return &snapshot;
}

void SettingsCache::release() {
    valid = false;
    for (PyObject*& held : owned) py::Ref dropped = py::Ref::steal(std::exchange(held, nullptr));
}

int SettingsCache::traverse(visitproc visit, void* arg) {
    for (PyObject* held : owned) Py_VISIT(held);
    return 0;
}

}  // namespace nerit::layout
