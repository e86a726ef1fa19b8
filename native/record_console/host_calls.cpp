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

std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

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

// Looks up where a line goes, as print's caller and print itself would.
bool find_print_target(const Context& ctx, PrintTarget& out) {
    bool failed = false;
    PyObject* replacement = replaced_print(ctx, &failed);
    if (failed) return false;
    out.replacement = Ref::borrow(replacement);
    if (replacement != nullptr) return true;
    const ConsoleState& st = *ctx.state;
    out.stdout_file = global_attr(ctx, st.g_sys.get(), st.a_stdout.get());
    if (!out.stdout_file) return false;
    out.fast = py::fast_paths_enabled(ctx.module, st.fast_paths_name.get());
    return true;
}

// The current target, from the cache while the dicts it was read from are unchanged. The cache
// is kept only when sys is a plain module, whose attributes are its dict entries.
bool current_print_target(const Context& ctx, PrintTarget& out) {
    ConsoleState& st = *ctx.state;
    PrintCache& cache = st.print_cache;
    PyObject* module_dict = PyModule_GetDict(ctx.module);
    PyObject* builtins_dict = st.builtins_dict.get();
    if (cache.valid && version_of(module_dict) == cache.module_dict_version &&
        version_of(builtins_dict) == cache.builtins_dict_version &&
        version_of(PyModule_GetDict(cache.sys_module.get())) == cache.sys_dict_version) {
        out = cache.target;
        return true;
    }
    cache.clear();
    if (!find_print_target(ctx, out)) return false;
    PyObject* sys = py::module_global(ctx.module, st.g_sys.get());
    if (sys == nullptr || !PyModule_CheckExact(sys)) {
        PyErr_Clear();
        return true;
    }
    PyObject* in_dict = PyDict_GetItemWithError(PyModule_GetDict(sys), st.a_stdout.get());
    if (!out.replacement && in_dict != out.stdout_file.get()) {
        PyErr_Clear();
        return true;
    }
    cache.module_dict_version = version_of(module_dict);
    cache.builtins_dict_version = version_of(builtins_dict);
    cache.sys_module = Ref::borrow(sys);
    cache.sys_dict_version = version_of(PyModule_GetDict(sys));
    cache.target = out;
    cache.valid = true;
    return true;
}

// file.write(text), as print calls it: through the method lookup, with no bound method made.
bool write_to(const ConsoleState& st, PyObject* file, PyObject* text) {
    PyObject* stack[] = {file, text};
    return static_cast<bool>(Ref::steal(PyObject_VectorcallMethod(
        st.write_name.get(), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

}  // namespace

bool print_line(const Context& ctx, PyObject* text) {
    PrintTarget target;
    if (!current_print_target(ctx, target)) return false;
    if (target.replacement) return static_cast<bool>(call(target.replacement.get(), {text}));
    const ConsoleState& st = *ctx.state;
    PyObject* file = target.stdout_file.get();
    if (file == Py_None) return true;  // print writes nothing without a stdout
    if (!target.fast) {
        return static_cast<bool>(call(st.builtin_print.get(), {text, file}, st.file_keyword.get()));
    }
    // print writes str(text), then its end, with two calls of file.write.
    const bool written = PyUnicode_CheckExact(text)
                             ? write_to(st, file, text)
                             : PyFile_WriteObject(text, file, Py_PRINT_RAW) == 0;
    return written && write_to(st, file, st.newline.get());
}

bool call_exit(const Context& ctx, long status) {
    Ref exit = global_attr(ctx, ctx.state->g_sys.get(), ctx.state->a_exit.get());
    if (!exit) return false;
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return false;
    return static_cast<bool>(call(exit.get(), {code.get()}));
}

}  // namespace nerit::console
