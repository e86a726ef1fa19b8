// NeritNewEventIterator: events appended after construction, polling once a second and following
// the file by its name.
#include <sys/stat.h>

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
    OwnFile& own = as_iterator(self)->native->own;
    Ref file = py::getattr(self, st->names.file.get());
    if (!file) return -1;
    Ref end = Ref::steal(PyObject_CallMethod(file.get(), "seek", "ii", 0, 2));
    if (!end) return -1;
    // The native reader starts where the file object now stands; a position it cannot take as
    // a byte offset leaves reading to the file object.
    long long offset = PyLong_Check(end.get()) ? PyLong_AsLongLong(end.get()) : -1;
    if (offset < 0) {
        PyErr_Clear();
        own.mode = ReadMode::host;
    }
    own.start_offset = offset < 0 ? 0 : offset;
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

// A line read by a file object's readline, joined with any text held back before it. Returns
// the whole line, or an empty Ref with no error set when there is nothing whole to decode yet.
Ref whole_host_line(OwnFile& own, PyObject* read) {
    Ref line = Ref::borrow(read);
    if (!PyUnicode_CheckExact(read)) return line;  // a replaced _file: taken as it comes
    if (own.pending_text) {
        line = Ref::steal(PyUnicode_Concat(own.pending_text.get(), read));
        if (!line) return line;
        own.pending_text.reset();
    }
    if (!ends_a_line(line.get())) {
        // The writer is in mid-line: keep the text until its line end arrives.
        own.pending_text = std::move(line);
        return Ref();
    }
    return line;
}

// What the followed path names now, compared with the file being read.
enum class PathNow { same, replaced, shorter, missing, error };

PathNow look_at_path(PyObject* self, ModuleState* st, const core::LineReader& reader) {
    Ref path = py::getattr(self, st->names.file_path.get());
    if (!path) return PathNow::error;
    // __fspath__ may be Python code, where a signal handler can raise: only the errors of a
    // path that names no file system entry mean "cannot be followed by name".
    Ref name = Ref::steal(PyOS_FSPath(path.get()));
    Ref encoded;
    if (name && PyUnicode_Check(name.get())) {
        encoded = Ref::steal(PyUnicode_EncodeFSDefault(name.get()));
    } else if (name && PyBytes_Check(name.get())) {
        encoded = name;
    }
    if (!encoded) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return PathNow::error;
        }
        PyErr_Clear();
        return PathNow::same;
    }
    struct stat named;
    struct stat reading;
    if (stat(PyBytes_AS_STRING(encoded.get()), &named) != 0) return PathNow::missing;
    if (fstat(reader.fd(), &reading) != 0) return PathNow::same;
    if (named.st_dev != reading.st_dev || named.st_ino != reading.st_ino) return PathNow::replaced;
    if (named.st_size < reader.read_offset()) return PathNow::shorter;
    return PathNow::same;
}

// Reading passes to the file the path names now: opened as the constructor opens it, read from
// its start. False with no error set when it cannot be opened yet (it is waited for).
bool follow_to_new_file(PyObject* self, ModuleState* st) {
    Ref path = py::getattr(self, st->names.file_path.get());
    if (!path) return false;
    Ref file = Ref::steal(PyObject_CallMethodNoArgs(path.get(), st->names.open.get()));
    if (!file) {
        if (PyErr_ExceptionMatches(PyExc_OSError)) PyErr_Clear();
        return false;
    }
    if (PyObject_SetAttr(self, st->names.file.get(), file.get()) < 0) return false;
    OwnFile& own = as_iterator(self)->native->own;
    Ref old = std::move(own.opened);
    own.open(std::move(file), 0);
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(old.get(), st->names.close.get()));
    return static_cast<bool>(closed);
}

// After a poll found nothing new in the iterator's own file: what to do about the path.
enum class Poll { wait, read_again, error };

// Follows the path as `tail -F` does. A file put in its place is read from its start once the
// old one is finished (read once more after the change was seen); a file cut shorter than what
// was read is read again from its start; a missing file is waited for, while the old one is
// still read. An unfinished last line of a file that is left is handed on in `rest`.
Poll follow_path(PyObject* self, ModuleState* st, LineSource& source, LineText& rest,
                 bool& have_rest) {
    OwnFile& own = as_iterator(self)->native->own;
    have_rest = false;
    PathNow now = look_at_path(self, st, *source.reader());
    if (now == PathNow::error) return Poll::error;
    if (now != PathNow::replaced) own.draining = false;
    if (now == PathNow::same || now == PathNow::missing) return Poll::wait;
    if (now == PathNow::replaced && !own.draining) {
        own.draining = true;
        return Poll::read_again;
    }
    LineSource::Got got = source.take_unfinished(rest);
    if (got == LineSource::Got::error) return Poll::error;
    have_rest = got == LineSource::Got::line;
    // Opening the new file runs Python code, which could read on through this iterator.
    if (have_rest && !hold_as_text(rest)) return Poll::error;
    if (now == PathNow::shorter) {
        source.reader()->restart(source.reader()->fd(), 0);
        return Poll::read_again;
    }
    if (follow_to_new_file(self, st)) return Poll::read_again;
    return PyErr_Occurred() ? Poll::error : Poll::wait;
}

}  // namespace

PyObject* new_step(PyObject* self, py::LineOffer* offer) {
    HostCalls host;
    OwnFile& own = as_iterator(self)->native->own;
    LineSource source;
    while (true) {
        // A wait ran code (time.sleep may be replaced): what lookup finds is checked anew.
        if (!host.load(self) || !source.begin(self, host)) return nullptr;
        LineText text;
        text.offer = offer;
        LineSource::Got got = source.next_appended(text);
        if (got == LineSource::Got::error) return nullptr;
        if (got == LineSource::Got::end) {
            // Following the path and waiting run Python code: a native pass hands its text on
            // first, and checks again after the wait.
            LineText no_line;
            no_line.offer = offer;
            if (!python_may_run(no_line)) return nullptr;
            bool have_rest = false;
            Poll poll = source.native() ? follow_path(self, host.st, source, text, have_rest)
                                        : Poll::wait;
            if (poll == Poll::error) return nullptr;
            if (!have_rest) {
                if (poll == Poll::wait && !sleep_one_second(host)) return nullptr;
                if (offer != nullptr) return stop_step(*offer);
                continue;
            }
        }
        Ref whole;
        if (!source.native() && text.object != nullptr) {
            whole = whole_host_line(own, text.object);
            if (!whole) {
                if (PyErr_Occurred() || !python_may_run(text) || !sleep_one_second(host))
                    return nullptr;
                if (offer != nullptr) return stop_step(*offer);
                continue;
            }
            text.object = whole.get();
        }
        const Offered offered = offer_line(text, without_line_end(text.utf8));
        if (offered == Offered::next_line) continue;
        if (offered != Offered::decode) return nullptr;
        Ref record;
        int accepted = decode_and_filter(self, host, text, record);
        if (accepted < 0) return nullptr;
        if (accepted > 0) return record.release();
        if (offer != nullptr) return stop_step(*offer);
    }
}

PyObject* new_next(PyObject* self) {
    return new_step(self, nullptr);
}

namespace {

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
     "__init__($self, /, event_file_path)\n--\n\n"
     "Open the event file and skip everything it holds so far."},
    {"close", cfunction(new_close), METH_NOARGS, "close($self, /)\n--\n\nClose the event file; calling it again is harmless."},
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
