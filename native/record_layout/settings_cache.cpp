// A formatter's settings as attribute lookup would find them, kept in the instance between
// calls and trusted while its guard holds.
#include "record_layout/settings_cache.hpp"

namespace nerit::layout {
namespace {

bool is_settled_value(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyBool_Check(value) || value == Py_None ||
           PyLong_CheckExact(value) || PyFloat_CheckExact(value);
}

// What PyObject_GenericGetAttr would return for `name`, without calling anything; nullptr
// (no error) when that needs code to run or the name is missing.
PyObject* plain_attribute(PyObject* self, PyObject* dict, PyObject* name) {
    PyObject* from_type = py::compat::find_in_class(Py_TYPE(self), name);
    if (from_type != nullptr && Py_TYPE(from_type)->tp_descr_get != nullptr) return nullptr;
    PyObject* value = dict == nullptr ? nullptr : PyDict_GetItemWithError(dict, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) PyErr_Clear();
        value = from_type;
    }
    return value != nullptr && is_settled_value(value) ? value : nullptr;
}

}  // namespace

const SettingsSnapshot* SettingsCache::rebuild(PyObject* self, LayoutState& state) {
    guard_.restart();
    PyTypeObject* self_type = Py_TYPE(self);
    if (self_type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* dict = py::Guard::instance_dict_of(self);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
    PyObject* values[9] = {};
    PyObject* names[9] = {state.attr_no_color.get(),          state.attr_is_raw.get(),
                          state.attr_is_detailed.get(),       state.attr_use_iso_date.get(),
                          state.attr_locale_const.get(),      state.attr_format_expression.get(),
                          state.attr_color_ok.get(),          state.attr_color_fail.get(),
                          state.attr_color_grey.get()};
    for (int i = 0; i < 9; ++i) {
        values[i] = plain_attribute(self, dict, names[i]);
        if (values[i] == nullptr) return nullptr;
    }
    PyObject* color_end = plain_attribute(self, dict, state.attr_color_end.get());
    if (color_end == nullptr) return nullptr;
    SettingsSnapshot taken{};
    // Truth of settled values cannot fail or run code.
    taken.no_color = PyObject_IsTrue(values[0]) == 1;
    taken.is_raw = PyObject_IsTrue(values[1]) == 1;
    taken.is_detailed = PyObject_IsTrue(values[2]) == 1;
    taken.use_iso_date = PyObject_IsTrue(values[3]) == 1;
    if (PyUnicode_CheckExact(values[4])) {
        taken.russian = PyUnicode_Compare(values[4], state.text_ru_ru.get()) == 0;
    } else if (values[4] != Py_None) {
        return nullptr;  // a number compared with a str: leave it to the live path
    }
    taken.has_expression = PyObject_IsTrue(values[5]) == 1;
    taken.native_unpack = py::resolves_to(self, state.attr_unpack.get(), state.native_unpack.get());
    taken.native_colorize =
        py::resolves_to(self, state.attr_colorize.get(), state.native_colorize.get());
    taken.native_colorize_priority = py::resolves_to(self, state.attr_colorize_priority.get(),
                                                     state.native_colorize_priority.get());
    taken.native_with_expression = py::resolves_to(self, state.attr_with_expression.get(),
                                                   state.native_with_expression.get());
    taken.fast_paths = py::fast_paths_enabled(state.module, state.attr_fast_paths.get());
    PyObject* datetime_global = py::module_global(state.module, state.attr_datetime.get());
    if (datetime_global == nullptr && PyErr_Occurred()) PyErr_Clear();
    taken.original_datetime = datetime_global == state.original_datetime.get();
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    guard_.add_instance(state.watchers, self);
    guard_.add_module(state.watchers, state.module);
    if (!guard_.arm()) return nullptr;
    held_.format_expression = Ref::borrow(values[5]);
    held_.color_ok = Ref::borrow(values[6]);
    held_.color_fail = Ref::borrow(values[7]);
    held_.color_grey = Ref::borrow(values[8]);
    held_.color_end = Ref::borrow(color_end);
    taken.format_expression = held_.format_expression.get();
    taken.color_ok = held_.color_ok.get();
    taken.color_fail = held_.color_fail.get();
    taken.color_grey = held_.color_grey.get();
    taken.color_end = held_.color_end.get();
    snapshot_ = taken;
    return &snapshot_;
}

void SettingsCache::clear() {
    guard_.clear();
    held_.clear_table();
    snapshot_ = SettingsSnapshot{};
}

int SettingsCache::traverse(visitproc visit, void* arg) const {
    if (const int visited = guard_.traverse(visit, arg)) return visited;
    return held_.traverse_table(visit, arg);
}

}  // namespace nerit::layout
