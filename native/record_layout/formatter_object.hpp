// The memory layout of a formatter instance, shared by the class and the formatting steps.
#pragma once

#include <new>

#include "record_layout/expression_direct.hpp"
#include "record_layout/settings_cache.hpp"

namespace nerit::layout {

// What a formatter keeps between calls, made on its first call.
struct FormatterCaches {
    SettingsCache settings;
    ExpressionPlan expression_plan;

    int traverse(visitproc visit, void* arg) const {
        if (const int visited = settings.traverse(visit, arg)) return visited;
        return expression_plan.traverse(visit, arg);
    }
    void clear() {
        settings.clear();
        expression_plan.release();
    }
};

struct FormatterObject {
    // Managed by the generic attribute code through __dictoffset__ and __weaklistoffset__.
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
    // Owned; null until the first call (the class keeps object's allocation and __new__).
    FormatterCaches* caches;
};

// The caches of an instance of the formatter class or of a subclass (the only receivers its
// methods accept); nullptr when there is no memory for them, and the call then reads live.
inline FormatterCaches* caches_of(PyObject* self) {
    auto* formatter = reinterpret_cast<FormatterObject*>(self);
    if (formatter->caches == nullptr) formatter->caches = new (std::nothrow) FormatterCaches();
    return formatter->caches;
}

}  // namespace nerit::layout
