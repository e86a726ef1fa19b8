// Where a printed line goes, and the cache that keeps that answer between lines.
#pragma once

#include "py/guard.hpp"

namespace nerit::console {

// Where print_line sends a line, as the module's Python code would find it at this moment.
struct PrintTarget {
    py::Ref replacement;  // a print that replaces the host's, or empty
    py::Ref stdout_file;  // sys.stdout (when the host's print is in force)
    bool fast = false;    // the module's _fast_paths switch
};

// The last PrintTarget, trusted while its guard holds: the module's, the builtins' and sys's
// dicts unchanged.
struct PrintCache {
    py::Guard guard;
    PrintTarget target;

    void clear() {
        guard.clear();
        target = PrintTarget();
    }
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(target.replacement.get());
        Py_VISIT(target.stdout_file.get());
        return guard.traverse(visit, arg);
    }
};

}  // namespace nerit::console
