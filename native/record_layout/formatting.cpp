// One call's view of a formatter: settings read through the instance, and dispatch of the
// private steps to a Python override when a subclass or the instance replaced one.
#include "record_layout/formatting.hpp"

#include "record_layout/arguments.hpp"

namespace nerit::layout {

int Formatting::truth(PyObject* name, int& cache) {
    if (cache < 0) {
        Ref value = py::getattr(self_, name);
        if (!value) return -1;
        cache = PyObject_IsTrue(value.get());
    }
    return cache;
}

PyObject* Formatting::constant(PyObject* name, Ref& cache) {
    if (!cache) cache = py::getattr(self_, name);
    return cache.get();
}

int Formatting::colour_on() {
    const int off = no_color();
    if (off != 0) return off < 0 ? -1 : 0;
    const int raw = is_raw();
    return raw < 0 ? -1 : !raw;
}

int Formatting::is_russian() {
    if (russian_ < 0) {
        Ref locale = py::getattr(self_, state_->attr_locale_const);
        if (!locale) return -1;
        if (PyUnicode_CheckExact(locale.get())) {
            russian_ = PyUnicode_Compare(locale.get(), state_->text_ru_ru) == 0;
        } else {
            Ref equal = Ref::steal(PyObject_RichCompare(locale.get(), state_->text_ru_ru, Py_EQ));
            if (!equal) return -1;
            russian_ = PyObject_IsTrue(equal.get());
        }
    }
    return russian_;
}

bool Formatting::fast_paths() const {
    return py::fast_paths_enabled(state_->module, state_->attr_fast_paths);
}

void Formatting::forget() {
    no_color_ = is_raw_ = is_detailed_ = use_iso_date_ = russian_ = -1;
    grey_.reset();
    end_.reset();
}

bool Formatting::unpack(PyObject* event) {
    if (native_unpack()) return unpack_event_native(*this, event);
    PyObject* call[] = {self_, event};
    Ref result = Ref::steal(PyObject_VectorcallMethod(state_->attr_unpack, call, 2, nullptr));
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
    Ref result = Ref::steal(PyObject_VectorcallMethod(state_->attr_colorize, call, 3, nullptr));
    forget();
    return result;
}

Ref Formatting::colorize_priority(PyObject* priority) {
    if (native_colorize_priority()) {
        if (!check_text_argument(priority, "priority")) return Ref();
        return colorize_priority_native(*this, priority);
    }
    PyObject* call[] = {self_, priority};
    Ref result =
        Ref::steal(PyObject_VectorcallMethod(state_->attr_colorize_priority, call, 2, nullptr));
    forget();
    return result;
}

Ref Formatting::with_expression(PyObject* event) {
    if (native_with_expression()) return expression_layout_native(*this, event);
    PyObject* call[] = {self_, event};
    Ref result =
        Ref::steal(PyObject_VectorcallMethod(state_->attr_with_expression, call, 2, nullptr));
    forget();
    return result;
}

}  // namespace nerit::layout
