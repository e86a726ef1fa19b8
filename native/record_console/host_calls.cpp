// Reaching the module's globals and the host's print and exit as the viewer's Python code would.
#include <algorithm>

#include "py/host.hpp"
#include "record_console/console.hpp"

namespace nerit::console {

using py::Ref;

bool context_of(PyObject* self, Context& out) {
    out.module = PyType_GetModuleByDef(Py_TYPE(self), &console_module_def);
    if (out.module == nullptr) return false;
    out.state = static_cast<ConsoleState*>(PyModule_GetState(out.module));
    return out.state != nullptr;
}

PyObject* global(const Context& ctx, PyObject* name) {
    PyObject* value = py::module_global(ctx.module, name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

Ref global_attr(const Context& ctx, PyObject* name, PyObject* attr) {
    PyObject* owner = global(ctx, name);
    return owner == nullptr ? Ref() : py::getattr(owner, attr);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const auto positional = static_cast<size_t>(static_cast<Py_ssize_t>(args.size()) - keywords);
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), positional, kwnames));
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    // The viewer's methods take at most a few arguments; no allocation on the per-event path.
    constexpr std::size_t kMaxArgs = 4;
    PyObject* stack[kMaxArgs + 1] = {self};
    const std::size_t count = std::min(args.size(), kMaxArgs);
    std::copy_n(args.begin(), count, stack + 1);
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (count + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

// A print function that replaces the host's one (in this module or in builtins), or nullptr
// (no error) when the host's own print is in force.
PyObject* replaced_print(const Context& ctx, bool* failed) {
    *failed = false;
    PyObject* local = py::module_global(ctx.module, ctx.state->g_print.get());
    if (local != nullptr) return local;
    PyObject* builtin =
        PyDict_GetItemWithError(ctx.state->builtins_dict.get(), ctx.state->g_print.get());
    if (builtin == nullptr) {
        if (PyErr_Occurred()) {
            *failed = true;
        } else {
            PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
            *failed = true;
        }
        return nullptr;
    }
    return ctx.state->builtin_print.is(builtin) ? nullptr : builtin;
}

}  // namespace

bool print_line(const Context& ctx, PyObject* text) {
    bool failed = false;
    PyObject* replacement = replaced_print(ctx, &failed);
    if (failed) return false;
    if (replacement != nullptr) return static_cast<bool>(call(replacement, {text}));
    const ConsoleState& st = *ctx.state;
    Ref stdout_file = global_attr(ctx, st.g_sys.get(), st.a_stdout.get());
    if (!stdout_file) return false;
    if (stdout_file.is(Py_None)) return true;  // print writes nothing without a stdout
    if (!py::fast_paths_enabled(ctx.module, st.fast_paths_name.get())) {
        Ref kwnames = Ref::steal(PyTuple_Pack(1, st.a_file.get()));
        return kwnames && call(st.builtin_print.get(), {text, stdout_file.get()}, kwnames.get());
    }
    return PyFile_WriteObject(text, stdout_file.get(), Py_PRINT_RAW) == 0 &&
           PyFile_WriteString("\n", stdout_file.get()) == 0;
}

bool call_exit(const Context& ctx, long status) {
    Ref exit = global_attr(ctx, ctx.state->g_sys.get(), ctx.state->a_exit.get());
    if (!exit) return false;
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return false;
    return static_cast<bool>(call(exit.get(), {code.get()}));
}

}  // namespace nerit::console
