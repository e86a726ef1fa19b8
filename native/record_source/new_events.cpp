// NeritNewEventIterator: events appended after construction, polling once a second.
#include "py/host.hpp"
#include "record_source/iterator.hpp"

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
    as_iterator(self)->native->pending_text.reset();
    Ref file = py::getattr(self, st->names.file.get());
    if (!file) return -1;
    Ref moved = Ref::steal(PyObject_CallMethod(file.get(), "seek", "ii", 0, 2));
    return moved ? 0 : -1;
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

PyObject* new_next(PyObject* self) {
    HostCalls host;
    if (!host.load(self)) return nullptr;
    NativeState& native = *as_iterator(self)->native;
    while (true) {
        Ref file = py::getattr(self, host.st->names.file.get());
        if (!file) return nullptr;
        Ref line = Ref::steal(PyObject_CallMethodNoArgs(file.get(), host.st->names.readline.get()));
        if (!line) return nullptr;
        if (PyUnicode_CheckExact(line.get())) {
            if (PyUnicode_GET_LENGTH(line.get()) == 0) {
                if (!sleep_one_second(host)) return nullptr;
                continue;
            }
            if (native.pending_text) {
                line = Ref::steal(PyUnicode_Concat(native.pending_text.get(), line.get()));
                if (!line) return nullptr;
                native.pending_text.reset();
            }
            if (!ends_a_line(line.get())) {
                // The writer is in mid-line: keep the text until its line end arrives.
                native.pending_text = std::move(line);
                if (!sleep_one_second(host)) return nullptr;
                continue;
            }
        } else {
            int more = PyObject_IsTrue(line.get());
            if (more < 0) return nullptr;
            if (!more) {
                if (!sleep_one_second(host)) return nullptr;
                continue;
            }
        }
        LineText text;
        text.object = line.get();
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
