// Where a printed line goes, and the cache that keeps that answer between lines.
#pragma once

#include <cstdint>

#include "py/ref.hpp"

namespace nerit::console {

// Where print_line sends a line, as the module's Python code would find it at this moment.
struct PrintTarget {
    py::Ref replacement;  // a print that replaces the host's, or empty
    py::Ref stdout_file;  // sys.stdout (when the host's print is in force)
    bool fast = false;    // the module's _fast_paths switch
};

// The last PrintTarget, trusted while the module's, the builtins' and sys's dicts are unchanged.
struct PrintCache {
    bool valid = false;
    std::uint64_t module_dict_version = 0;
    std::uint64_t builtins_dict_version = 0;
    py::Ref sys_module;  // the module's sys global, a plain module
    std::uint64_t sys_dict_version = 0;
    PrintTarget target;

    void clear() {
        valid = false;
        sys_module.reset();
        target = PrintTarget();
    }
};

}  // namespace nerit::console
