// What the viewer's native print loop may ask of a formatter: its settings as plain data, when
// the native layouts write exactly what its format_event returns.
#include "py/host.hpp"
#include "py/pass_api.hpp"
#include "record_layout/formatter_object.hpp"
#include "record_layout/formatter_type.hpp"

namespace nerit::layout {
namespace {

// The UTF-8 form of an exact str; false (no error) for anything else.
bool utf8_text(PyObject* value, std::string& out) {
    if (!PyUnicode_CheckExact(value)) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

int prepare(PyObject* formatter, const py::Watchers& watchers, py::Guard& guard,
            core::LayoutSettings& settings) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(formatter), &module_def);
    if (module == nullptr) {
        PyErr_Clear();
        return 0;
    }
    LayoutState& state = *state_of(module);
    if (!state.formatter_type.is(reinterpret_cast<PyObject*>(Py_TYPE(formatter)))) return 0;
    FormatterCaches* caches = caches_of(formatter);
    if (caches == nullptr) return 0;
    const SettingsSnapshot* taken = caches->settings.current(formatter, state);
    if (taken == nullptr || !taken->fast_paths || !taken->original_datetime ||
        !taken->native_unpack || !taken->native_colorize || !taken->native_colorize_priority ||
        !taken->native_with_expression ||
        !py::resolves_to(formatter, state.attr_format_event.get(),
                         state.native_format_event.get())) {
        return 0;
    }
    settings = core::LayoutSettings();
    settings.no_color = taken->no_color;
    settings.is_raw = taken->is_raw;
    settings.is_detailed = taken->is_detailed;
    settings.use_iso_date = taken->use_iso_date;
    settings.russian = taken->russian;
    if (taken->has_expression && !utf8_text(taken->format_expression, settings.format_expression))
        return 0;
    if (!utf8_text(taken->color_ok, settings.color_ok) ||
        !utf8_text(taken->color_fail, settings.color_fail) ||
        !utf8_text(taken->color_grey, settings.color_grey) ||
        !utf8_text(taken->color_end, settings.color_end)) {
        return 0;
    }
    return guard.add_instance(watchers, formatter) && guard.add_module(watchers, module) ? 1 : 0;
}

py::LayoutPassApi pass_api = {prepare};

}  // namespace

bool publish_native_pass(PyObject* module) {
    return py::publish_pass_api(module, py::kLayoutPassCapsule, &pass_api);
}

}  // namespace nerit::layout
