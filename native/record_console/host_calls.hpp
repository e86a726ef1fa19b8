// Reaching the module's globals, calling host functions and methods, and the host's exit, as the
// viewer's Python code would.
#pragma once

#include <initializer_list>

#include "record_console/console_state.hpp"

namespace nerit::console {

// Borrowed module global, looked up at call time so that replacing it takes effect. Sets
// NameError and returns nullptr when the module has no such name.
PyObject* global(const Context& ctx, PyObject* name);

// Attribute `attr` of module global `name` (e.g. sys.exit), looked up at call time.
py::Ref global_attr(const Context& ctx, PyObject* name, PyObject* attr);

// Calls `callable` with positional arguments and, optionally, keyword names for the last ones.
py::Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
             PyObject* kwnames = nullptr);

// Calls the method `name` of `self` with positional arguments, as `self.name(...)` would.
py::Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {});

// Calls sys.exit(status). Usually raises SystemExit; returns true when a replacement returned.
bool call_exit(const Context& ctx, long status);

}  // namespace nerit::console
