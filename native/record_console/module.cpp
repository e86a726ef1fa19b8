// Module initialisation of nerit_record_console.record_console: imports, message domain, state.
#include <iterator>

#include "py/host.hpp"
#include "record_console/console_state.hpp"
#include "record_console/stdout_text.hpp"
#include "record_console/viewer.hpp"

namespace nerit::console {

namespace {

using py::Ref;

constexpr const char* kDomain = "nerit_record_console";
constexpr const char* kCatalogueDir = "/usr/share/locale";
constexpr const char* kArchiveSuffixes[] = {".zip", ".tar", ".gz",  ".xz",
                                            ".tgz", ".bz2", ".rar", ".7z"};

bool make_constants(ConsoleState& st) {
    if (!st.intern_names()) return false;
    Ref suffixes = Ref::steal(PyTuple_New(std::size(kArchiveSuffixes)));
    if (!suffixes) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(suffixes.get()); ++i) {
        Ref suffix = Ref::steal(PyUnicode_InternFromString(kArchiveSuffixes[i]));
        if (!suffix) return false;
        PyTuple_SET_ITEM(suffixes.get(), i, suffix.release());
    }
    st.archive_suffixes = std::move(suffixes);
    st.file_keyword = Ref::steal(PyTuple_Pack(1, st.a_file.get()));
    return static_cast<bool>(st.file_keyword);
}

// `import name` as a module attribute of the same name.
bool import_module_as(PyObject* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    return imported && PyModule_AddObjectRef(module, name, imported.get()) == 0;
}

// `from source import name`; a missing name fails the load with ImportError, as Python would.
bool import_name_from(PyObject* module, const char* source, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(source));
    if (!imported) return false;
    Ref value = py::getattr(imported.get(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, source);
        return false;
    }
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

// Binds the message domain (process-wide) and sets `_` to gettext.gettext.
bool bind_message_domain(PyObject* module) {
    Ref gettext = py::getattr(module, "gettext");
    if (!gettext) return false;
    Ref bound = Ref::steal(
        PyObject_CallMethod(gettext.get(), "bindtextdomain", "ss", kDomain, kCatalogueDir));
    if (!bound) return false;
    Ref current = Ref::steal(PyObject_CallMethod(gettext.get(), "textdomain", "s", kDomain));
    if (!current) return false;
    Ref translate = py::getattr(gettext.get(), "gettext");
    return translate && PyModule_AddObjectRef(module, "_", translate.get()) == 0;
}

bool capture_builtin_print(ConsoleState& st) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    st.builtins_dict = Ref::borrow(PyModule_GetDict(builtins.get()));
    st.builtin_print =
        Ref::borrow(PyDict_GetItemWithError(st.builtins_dict.get(), st.g_print.get()));
    if (!st.builtin_print && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "builtins has no print");
    }
    return static_cast<bool>(st.builtin_print);
}

// The host's file types and codec lookup, and the other modules' tables for the native loop.
bool capture_native_pass(ConsoleState& st) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref codecs = Ref::steal(PyImport_ImportModule("codecs"));
    if (!io || !codecs) return false;
    st.text_io_wrapper_type = py::getattr(io.get(), "TextIOWrapper");
    st.buffered_writer_type = py::getattr(io.get(), "BufferedWriter");
    st.file_io_type = py::getattr(io.get(), "FileIO");
    st.codecs_lookup = py::getattr(codecs.get(), "lookup");
    if (!st.text_io_wrapper_type || !st.buffered_writer_type || !st.file_io_type ||
        !st.codecs_lookup) {
        return false;
    }
    st.source_api = py::import_pass_api<py::SourcePassApi>(py::kSourcePassCapsule);
    st.layout_api = py::import_pass_api<py::LayoutPassApi>(py::kLayoutPassCapsule);
    return st.source_api != nullptr && st.layout_api != nullptr && learn_text_file_rule(st);
}

int exec_module(PyObject* module) {
    ConsoleState* st = StateSlot::create(module);
    if (st == nullptr || !make_constants(*st) || !st->watchers.attach() ||
        py::init_fast_paths_switch(module) < 0) {
        return -1;
    }
    for (const char* name : {"gettext", "shutil", "sys", "tarfile", "time"}) {
        if (!import_module_as(module, name)) return -1;
    }
    if (!import_name_from(module, "datetime", "date") ||
        !import_name_from(module, "datetime", "timedelta") ||
        !import_name_from(module, "pathlib", "Path") ||
        !import_name_from(module, "nerit_record_console.record_layout", "NeritEventFormatter")) {
        return -1;
    }
    for (const char* name : {"NeritRecentEventIterator", "NeritNewEventIterator",
                             "NeritTimeRangeEventIterator", "NeritAllEventsIterator"}) {
        if (!import_name_from(module, "nerit_record_console.record_source", name)) return -1;
    }
    if (!bind_message_domain(module) || !capture_builtin_print(*st) ||
        !capture_native_pass(*st)) {
        return -1;
    }
    st->viewer_type = make_viewer_type(module);
    if (!st->viewer_type) return -1;
    return PyModule_AddObjectRef(module, "NeritEventViewer", st->viewer_type.get());
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

}  // namespace

PyModuleDef console_module_def = {PyModuleDef_HEAD_INIT,
                                  "nerit_record_console.record_console",
                                  "The viewer: iterator choice, print loop, follow mode and "
                                  "report-archive input.",
                                  StateSlot::kSize,
                                  nullptr,
                                  slots,
                                  StateSlot::traverse,
                                  StateSlot::clear,
                                  StateSlot::free};

}  // namespace nerit::console

PyMODINIT_FUNC PyInit_record_console() {
    return PyModuleDef_Init(&nerit::console::console_module_def);
}
