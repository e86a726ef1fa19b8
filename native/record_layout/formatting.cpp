// One call's view of a formatter: settings read through the instance (from its snapshot when
// the version tags allow), and dispatch of the private steps to a Python override when a
// subclass or the instance replaced one.
#include "record_layout/formatting.hpp"

#include "record_layout/arguments.hpp"

namespace nerit::layout {

const SettingsSnapshot* Formatting::take_snapshot() {
    FormatterCaches* caches = caches_of(self_);
    snapshot_ = caches == nullptr ? nullptr : caches->settings.current(self_, *state_);
    checked_ = true;
    return snapshot_;
}

void Formatting::forget() {
    checked_ = false;
    snapshot_ = nullptr;
    no_color_ = is_raw_ = is_detailed_ = use_iso_date_ = russian_ = -1;
    grey_.reset();
    end_.reset();
    ok_.reset();
    fail_.reset();
}

int Formatting::live_truth(PyObject* name, int& cache) {
    if (cache < 0) {
        Ref value = py::getattr(self_, name);
        if (!value) return -1;
        cache = PyObject_IsTrue(value.get());
    }
    return cache;
}

PyObject* Formatting::live_constant(PyObject* name, Ref& cache) {
    if (!cache) cache = py::getattr(self_, name);
    return cache.get();
}

int Formatting::no_color() {
    if (const SettingsSnapshot* s = snapshot()) return s->no_color;
    return live_truth(state_->attr_no_color.get(), no_color_);
}

int Formatting::is_raw() {
    if (const SettingsSnapshot* s = snapshot()) return s->is_raw;
    return live_truth(state_->attr_is_raw.get(), is_raw_);
}

int Formatting::is_detailed() {
    if (const SettingsSnapshot* s = snapshot()) return s->is_detailed;
    return live_truth(state_->attr_is_detailed.get(), is_detailed_);
}

int Formatting::use_iso_date() {
    if (const SettingsSnapshot* s = snapshot()) return s->use_iso_date;
    return live_truth(state_->attr_use_iso_date.get(), use_iso_date_);
}

int Formatting::colour_on() {
    const int off = no_color();
    if (off != 0) return off < 0 ? -1 : 0;
    const int raw = is_raw();
    return raw < 0 ? -1 : !raw;
}

int Formatting::is_russian() {
    if (const SettingsSnapshot* s = snapshot()) return s->russian;
    if (russian_ < 0) {
        Ref locale = py::getattr(self_, state_->attr_locale_const.get());
        if (!locale) return -1;
        if (PyUnicode_CheckExact(locale.get())) {
            russian_ = PyUnicode_Compare(locale.get(), state_->text_ru_ru.get()) == 0;
        } else {
            Ref equal =
                Ref::steal(PyObject_RichCompare(locale.get(), state_->text_ru_ru.get(), Py_EQ));
            if (!equal) return -1;
            russian_ = PyObject_IsTrue(equal.get());
        }
    }
    return russian_;
}

Ref Formatting::format_expression() {
    if (const SettingsSnapshot* s = snapshot()) return Ref::borrow(s->format_expression);
    return py::getattr(self_, state_->attr_format_expression.get());
}

int Formatting::has_expression() {
    if (const SettingsSnapshot* s = snapshot()) return s->has_expression;
    Ref expression = format_expression();
    return expression ? PyObject_IsTrue(expression.get()) : -1;
}

bool Formatting::fast_paths() {
    if (const SettingsSnapshot* s = snapshot()) return s->fast_paths;
    return py::fast_paths_enabled(state_->module, state_->attr_fast_paths.get());
}

bool Formatting::native_dates() {
    if (const SettingsSnapshot* s = snapshot()) return s->fast_paths && s->original_datetime;
    return fast_paths() && py::module_global(state_->module, state_->attr_datetime.get()) ==
                               state_->original_datetime.get();
}

PyObject* Formatting::color_grey() {
    if (const SettingsSnapshot* s = snapshot()) return s->color_grey;
    return live_constant(state_->attr_color_grey.get(), grey_);
}

PyObject* Formatting::color_end() {
    if (const SettingsSnapshot* s = snapshot()) return s->color_end;
    return live_constant(state_->attr_color_end.get(), end_);
}

bool Formatting::grey_pair(int colour, PyObject*& grey, PyObject*& end) {
    grey = end = nullptr;
    if (!colour) return true;
    grey = color_grey();
    end = grey == nullptr ? nullptr : color_end();
    return end != nullptr;
}

PyObject* Formatting::color_ok() {
    if (const SettingsSnapshot* s = snapshot()) return s->color_ok;
    return live_constant(state_->attr_color_ok.get(), ok_);
}

PyObject* Formatting::color_fail() {
    if (const SettingsSnapshot* s = snapshot()) return s->color_fail;
    return live_constant(state_->attr_color_fail.get(), fail_);
}

bool Formatting::native_unpack() {
    if (const SettingsSnapshot* s = snapshot()) return s->native_unpack;
    return py::resolves_to(self_, state_->attr_unpack.get(), state_->native_unpack.get());
}

bool Formatting::native_colorize() {
    if (const SettingsSnapshot* s = snapshot()) return s->native_colorize;
    return py::resolves_to(self_, state_->attr_colorize.get(), state_->native_colorize.get());
}

bool Formatting::native_colorize_priority() {
    if (const SettingsSnapshot* s = snapshot()) return s->native_colorize_priority;
    return py::resolves_to(self_, state_->attr_colorize_priority.get(),
                           state_->native_colorize_priority.get());
}

bool Formatting::native_with_expression() {
    if (const SettingsSnapshot* s = snapshot()) return s->native_with_expression;
    return py::resolves_to(self_, state_->attr_with_expression.get(),
                           state_->native_with_expression.get());
}

bool Formatting::unpack(PyObject* event) {
    if (native_unpack()) return unpack_event_native(*this, event);
    PyObject* call[] = {self_, event};
    Ref result = Ref::steal(PyObject_VectorcallMethod(state_->attr_unpack.get(), call, 2, nullptr));
    forget();
    return static_cast<bool>(result);
}

Ref Formatting::colorize(PyObject* string, PyObject* color) {
    if (native_colorize()) {
        if (!check_text_argument(string, "string") || !check_text_argument(color, "color")) {
            return Ref();
        }
        return colorize_native(*this, string, color);
    }
    PyObject* call[] = {self_, string, color};
    Ref result =
        Ref::steal(PyObject_VectorcallMethod(state_->attr_colorize.get(), call, 3, nullptr));
    forget();
    return result;
}

Ref Formatting::colorize_priority(PyObject* priority) {
    if (native_colorize_priority()) {
        if (!check_text_argument(priority, "priority")) return Ref();
        return colorize_priority_native(*this, priority);
    }
    PyObject* call[] = {self_, priority};
    Ref result = Ref::steal(
        PyObject_VectorcallMethod(state_->attr_colorize_priority.get(), call, 2, nullptr));
    forget();
    return result;
}

Ref Formatting::with_expression(PyObject* event) {
    if (native_with_expression()) return expression_layout_native(*this, event);
    PyObject* call[] = {self_, event};
    Ref result =
        Ref::steal(PyObject_VectorcallMethod(state_->attr_with_expression.get(), call, 2, nullptr));
    forget();
    return result;
}

}  // namespace nerit::layout
