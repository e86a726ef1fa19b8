// The memory layout of a formatter instance, shared by the class and the formatting steps.
#pragma once

#include "record_layout/expression_direct.hpp"
#include "record_layout/settings_cache.hpp"

namespace nerit::layout {

struct FormatterObject {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
    SettingsCache settings;
    ExpressionPlan expression_plan;
};

// Valid for instances of the formatter class and of its subclasses (the only receivers its
// methods accept).
inline SettingsCache& settings_cache_of(PyObject* self) {
    return reinterpret_cast<FormatterObject*>(self)->settings;
}

inline ExpressionPlan& expression_plan_of(PyObject* self) {
    return reinterpret_cast<FormatterObject*>(self)->expression_plan;
}

}  // namespace nerit::layout
