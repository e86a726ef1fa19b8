// NeritNewEventIterator: events appended after construction, polling once a second.
#include "py/host.hpp"
#include "record_source/iterator_types.hpp"
#include "record_source/line_source.hpp"

namespace nerit::record_source {
namespace {

ModuleState* state_of(PyObject* self) {
    PyObject* module = module_of(self);
    return module == nullptr ? nullptr : state_of_module(module);
}

int new_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {const_cast<char*>("event_file_path"), nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", keywords, &path)) return -1;
    ModuleState* st = state_of(self);
    if (st == nullptr || base_init_steps(self, st, path) < 0) return -1;
    NativeState& native = *as_iterator(self)->native;
    native.pending_text.reset();
    Ref file = py::getattr(self, st->names.file.get());
    if (!file) return -1;
    Ref end = Ref::steal(PyObject_CallMethod(file.get(), "seek", "ii", 0, 2));
    if (!end) return -1;
    // The native reader starts where the host file now stands; a position it cannot take as a
    // byte offset leaves reading to the host.
    long long offset = PyLong_Check(end.get()) ? PyLong_AsLongLong(end.get()) : -1;
    if (offset < 0) {
        PyErr_Clear();
        native.mode = ReadMode::host;
    }
    native.start_offset = offset < 0 ? 0 : offset;
    native.follows_appends = true;
    return 0;
}

PyObject* new_init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return new_init(self, args, kwargs) < 0 ? nullptr : py::none();
}

// time.sleep(1) through the module's time, looked up on every call so it can be replaced.
bool sleep_one_second(HostCalls& host) {
    Ref time = module_global(host.module, host.st->names.time.get());
    if (!time) return false;
    Ref sleep = py::getattr(time.get(), host.st->names.sleep.get());
    if (!sleep) return false;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return false;
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(sleep.get(), one.get())));
}

bool ends_a_line(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_UCS4 last = PyUnicode_READ_CHAR(text, length - 1);
    return last == '\n' || last == '\r';
}

// A line read by the host's readline, joined with any text held back before it. Returns the
// whole line, or an empty Ref with no error set when there is nothing whole to decode yet.
Ref whole_host_line(NativeState& native, PyObject* read) {
    Ref line = Ref::borrow(read);
    if (!PyUnicode_CheckExact(read)) return line;  // a replaced _file: taken as it comes
    if (native.pending_text) {
        line = Ref::steal(PyUnicode_Concat(native.pending_text.get(), read));
        if (!line) return line;
        native.pending_text.reset();
    }
    if (!ends_a_line(line.get())) {
        // The writer is in mid-line: keep the text until its line end arrives.
        native.pending_text = std::move(line);
        return Ref();
    }
    return line;
}

PyObject* new_next(PyObject* self) {
    HostCalls host;
    NativeState& native = *as_iterator(self)->native;
    LineSource source;
    while (true) {
        // A wait ran code (time.sleep may be replaced): what lookup finds is checked anew.
        if (!host.load(self) || !source.begin(self, host)) return nullptr;
        LineText text;
        switch (source.next(text)) {
            case LineSource::Got::error:
                return nullptr;
            case LineSource::Got::end:
                if (!sleep_one_second(host)) return nullptr;
                continue;
            case LineSource::Got::line:
                break;
        }
        Ref whole;
        if (text.object != nullptr) {
            whole = whole_host_line(native, text.object);
            if (!whole) {
                if (PyErr_Occurred() || !sleep_one_second(host)) return nullptr;
                continue;
            }
            text.object = whole.get();
        }
        Ref record;
        int accepted = decode_and_filter(self, host, text, record);
        if (accepted < 0) return nullptr;
        if (accepted > 0) return record.release();
    }
}

PyObject* new_close(PyObject* self, PyObject*) {
    ModuleState* st = state_of(self);
    if (st == nullptr) return nullptr;
    Ref file = py::getattr(self, st->names.file.get());
    if (!file) return nullptr;
    int open = PyObject_IsTrue(file.get());
    if (open < 0) return nullptr;
    if (open && !Ref::steal(PyObject_CallMethodNoArgs(file.get(), st->names.close.get())))
        return nullptr;
    return py::none();
}

PyMethodDef new_methods[] = {
    {"__init__", cfunction(new_init_method), METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
     "__init__($self, /, event_file_path)\n--\n\n"},
    {"close", cfunction(new_close), METH_NOARGS, "close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* make_new_events_type(PyObject* module, PyObject* base) {
    PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},

        {Py_tp_doc, const_cast<char*>("Iterate over events newly appended to the event file.")},
        {Py_tp_init, reinterpret_cast<void*>(new_init)},
        {Py_tp_iternext, reinterpret_cast<void*>(new_next)},
        {Py_tp_methods, new_methods},
        {0, nullptr}};
    PyType_Spec spec = {"nerit_record_console.record_source.NeritNewEventIterator", 0, 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return PyType_FromModuleAndSpec(module, &spec, base);
}

}  // namespace nerit::record_source
