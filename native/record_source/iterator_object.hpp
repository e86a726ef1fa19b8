// The instance layout of every iterator class: the native per-instance data beside the dict.
#pragma once

#include "py/json_build.hpp"
#include "py/module_state.hpp"
#include "record_source/lookup_cache.hpp"
#include "record_source/own_file.hpp"

namespace nerit::record_source {

// The references of an iterator's native data besides those of its parts.
#define NERIT_ITERATOR_REFS(X) \
    X(date_pattern) /* a pattern compiled by the module's original re.compile */

// Native per-instance data; every Python-visible attribute lives in the instance dict.
struct NativeState {
    NERIT_STATE_TABLE(NERIT_STATE_NONE, NERIT_ITERATOR_REFS)
    OwnFile own;             // the file the iterator opened and how it is read
    py::KeyCache json_keys;  // keys repeated from line to line share one str
    LookupCache lookups;     // what the last __next__ found, while nothing has changed

    int traverse(visitproc visit, void* arg) const {
        if (const int visited = traverse_table(visit, arg)) return visited;
        if (const int visited = own.traverse(visit, arg)) return visited;
        if (const int visited = json_keys.traverse(visit, arg)) return visited;
        return lookups.traverse(visit, arg);
    }
    void clear() {
        clear_table();
        own.clear();
        json_keys.clear();
        lookups.clear();
    }
};

struct IteratorObject {
    // Managed by the generic attribute code through __dictoffset__.
    PyObject_HEAD PyObject* dict;
    NativeState* native;  // owned: made by tp_new, deleted by tp_dealloc
};

inline IteratorObject* as_iterator(PyObject* self) {
    return reinterpret_cast<IteratorObject*>(self);
}

}  // namespace nerit::record_source
