// Reaching the module's globals, calling host functions and methods, and the host's exit, as the
// viewer's Python code would.
#include "record_console/host_calls.hpp"

#include <algorithm>

#include "py/host.hpp"

namespace nerit::console {

using py::Ref;

bool context_of(PyObject* self, Context& out) {
    out.module = PyType_GetModuleByDef(Py_TYPE(self), &console_module_def);
    if (out.module == nullptr) return false;
    out.state = StateSlot::of(out.module);
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

bool call_exit(const Context& ctx, long status) {
    Ref exit = global_attr(ctx, ctx.state->g_sys.get(), ctx.state->a_exit.get());
    if (!exit) return false;
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return false;
    return static_cast<bool>(call(exit.get(), {code.get()}));
}

}  // namespace nerit::console
