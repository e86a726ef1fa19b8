// Printing one line to standard output as the viewer's print call would: through a replacement
// print when one is installed, else straight to sys.stdout's write.
#include "record_console/print_line.hpp"

#include "py/host.hpp"
#include "record_console/host_calls.hpp"
#include "record_console/stdout_text.hpp"

namespace nerit::console {

using py::Ref;

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

}  // namespace

// The current target, from the cache while the dicts it was read from are unchanged. The cache
// is kept only when sys is a plain module, whose attributes are its dict entries.
bool print_target_now(const Context& ctx, PrintTarget& out) {
    ConsoleState& st = *ctx.state;
    PrintCache& cache = st.print_cache;
    if (cache.guard.holds()) {
        out = cache.target;
        return true;
    }
    cache.target = PrintTarget();
    cache.guard.restart();
    if (!find_print_target(ctx, out)) return false;
    PyObject* sys = py::module_global(ctx.module, st.g_sys.get());
    if (sys == nullptr || !PyModule_CheckExact(sys)) {
        PyErr_Clear();
        cache.clear();
        return true;
    }
    PyObject* in_dict = PyDict_GetItemWithError(PyModule_GetDict(sys), st.a_stdout.get());
    if (!out.replacement && in_dict != out.stdout_file.get()) {
        PyErr_Clear();
        cache.clear();
        return true;
    }
    cache.guard.add_module(st.watchers, ctx.module);
    cache.guard.add_dict(st.watchers, st.builtins_dict.get());
    cache.guard.add_module(st.watchers, sys);
    if (cache.guard.arm()) cache.target = out;
    return true;
}

namespace {

// file.write(text), as print calls it: through the method lookup, with no bound method made.
bool write_to(const ConsoleState& st, PyObject* file, PyObject* text) {
    PyObject* stack[] = {file, text};
    return static_cast<bool>(Ref::steal(PyObject_VectorcallMethod(
        st.write_name.get(), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

}  // namespace

bool print_line(const Context& ctx, PyObject* text) {
    PrintTarget target;
    if (!print_target_now(ctx, target)) return false;
    ConsoleState& st = *ctx.state;
    if (target.replacement) {
        st.stdout_pending.forget();  // it may write anywhere
        return static_cast<bool>(call(target.replacement.get(), {text}));
    }
    PyObject* file = target.stdout_file.get();
    if (file == Py_None) return true;  // print writes nothing without a stdout
    if (!target.fast) {
        st.stdout_pending.forget();
        return static_cast<bool>(call(st.builtin_print.get(), {text, file}, st.file_keyword.get()));
    }
    // print writes str(text), then its end, with two calls of file.write.
    const bool exact_text = PyUnicode_CheckExact(text);
    const bool written = exact_text ? write_to(st, file, text)
                                    : PyFile_WriteObject(text, file, Py_PRINT_RAW) == 0;
    if (!written || !write_to(st, file, st.newline.get())) {
        st.stdout_pending.forget();
        return false;
    }
    if (exact_text) {
        count_host_print(*ctx.state, file, text);
    } else {
        st.stdout_pending.forget();
    }
    return true;
}

}  // namespace nerit::console
