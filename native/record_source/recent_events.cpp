// NeritRecentEventIterator: the events of the last `count` lines, found by a backward scan.
#include <sys/stat.h>

#include <climits>
#include <string>
#include <vector>

#include "core/line_scan.hpp"
#include "core/utf8.hpp"
#include "py/host.hpp"
#include "record_source/decode_filter.hpp"
#include "record_source/iterator_object.hpp"
#include "record_source/iterator_types.hpp"

namespace nerit::record_source {
namespace {

ModuleState* state_of(PyObject* self) {
    PyObject* module = module_of(self);
    return module == nullptr ? nullptr : state_of_module(module);
}

int recent_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {const_cast<char*>("event_file_path"), const_cast<char*>("count"), nullptr};
    PyObject* path = nullptr;
    PyObject* count = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", keywords, &path, &count))
        return -1;
    ModuleState* st = state_of(self);
    if (st == nullptr || base_init_steps(self, st, path) < 0) return -1;
    if (PyObject_SetAttr(self, st->names.count.get(), count) < 0) return -1;
    if (!close_file(self, st)) return -1;
    Ref file_path = py::getattr(self, st->names.file_path.get());
    if (!file_path) return -1;
    Ref binary = Ref::steal(
        PyObject_CallMethodOneArg(file_path.get(), st->names.open.get(), st->names.mode_rb.get()));
    if (!binary || PyObject_SetAttr(self, st->names.file.get(), binary.get()) < 0) return -1;
    as_iterator(self)->native->own.open(binary, 0);
    Ref positions = Ref::steal(PyObject_CallMethodNoArgs(self, st->names.find_positions.get()));
    if (!positions) return -1;
    return PyObject_SetAttr(self, st->names.positions.get(), positions.get());
}

PyObject* recent_init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return recent_init(self, args, kwargs) < 0 ? nullptr : py::none();
}

Ref list_of_offsets(const std::vector<std::int64_t>& offsets) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(offsets.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        PyObject* item = PyLong_FromLongLong(offsets[i]);
        if (item == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// The byte-at-a-time scan through the handle's own methods, with the host's arithmetic, for a
// count or a handle the native scan does not cover.
Ref scan_through_handle(ModuleState* st, PyObject* handle, PyObject* file_size, PyObject* count) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    Ref newline = Ref::steal(PyBytes_FromStringAndSize("\n", 1));
    Ref lines_found = Ref::steal(PyLong_FromLong(0));
    Ref positions = Ref::steal(PyList_New(0));
    if (!one || !minus_one || !newline || !lines_found || !positions) return Ref();
    Ref last = Ref::steal(PyNumber_Subtract(file_size, one.get()));
    if (!last) return Ref();
    Ref offsets = Ref::steal(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyRange_Type), last.get(),
                                     minus_one.get(), minus_one.get(), nullptr));
    if (!offsets) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(offsets.get()));
    if (!iterator) return Ref();
    while (Ref offset = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref moved =
            Ref::steal(PyObject_CallMethodOneArg(handle, st->names.seek.get(), offset.get()));
        if (!moved) return Ref();
        Ref byte = Ref::steal(PyObject_CallMethodOneArg(handle, st->names.read.get(), one.get()));
        if (!byte) return Ref();
        int is_newline = PyObject_RichCompareBool(byte.get(), newline.get(), Py_EQ);
        if (is_newline < 0) return Ref();
        if (!is_newline) continue;
        lines_found = Ref::steal(PyNumber_Add(lines_found.get(), one.get()));
        if (!lines_found) return Ref();
        Ref limit = Ref::steal(PyNumber_Add(count, one.get()));
        if (!limit) return Ref();
        int beyond = PyObject_RichCompareBool(lines_found.get(), limit.get(), Py_GT);
        if (beyond < 0) return Ref();
        if (beyond) break;
        Ref position = Ref::steal(PyObject_CallMethodNoArgs(handle, st->names.tell.get()));
        if (!position || PyList_Append(positions.get(), position.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    int within = PyObject_RichCompareBool(lines_found.get(), count, Py_LE);
    if (within < 0) return Ref();
    if (within) {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero || PyList_Append(positions.get(), zero.get()) < 0) return Ref();
    }
    if (PyList_Reverse(positions.get()) < 0) return Ref();
    return positions;
}

Ref scan_positions(ModuleState* st, PyObject* self, PyObject* handle) {
    Ref whence = Ref::steal(Py_BuildValue("(ii)", 0, 2));
    if (!whence) return whence;
    Ref seek = py::getattr(handle, st->names.seek.get());
    if (!seek) return seek;
    Ref file_size = Ref::steal(PyObject_Call(seek.get(), whence.get(), nullptr));
    if (!file_size) return file_size;
    Ref count = py::getattr(self, st->names.count.get());
    if (!count) return count;
    if (PyLong_CheckExact(count.get()) && PyLong_CheckExact(file_size.get()) &&
        Py_IS_TYPE(handle, reinterpret_cast<PyTypeObject*>(st->buffered_reader_type.get()))) {
        int overflow = 0;
        long long wanted = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
        long long size = PyLong_AsLongLong(file_size.get());
        int fd = overflow == 0 && size >= 0 ? PyObject_AsFileDescriptor(handle) : -1;
        if (fd >= 0) {
            auto offsets = core::recent_line_starts(fd, size, wanted);
            if (!offsets) {
                errno = errno == 0 ? EIO : errno;
                PyErr_SetFromErrno(PyExc_OSError);
                return Ref();
            }
            return list_of_offsets(*offsets);
        }
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return scan_through_handle(st, handle, file_size.get(), count.get());
}

PyObject* find_positions(PyObject* self, PyObject*) {
    ModuleState* st = state_of(self);
    if (st == nullptr) return nullptr;
    Ref file_path = py::getattr(self, st->names.file_path.get());
    if (!file_path) return nullptr;
    Ref handle = Ref::steal(
        PyObject_CallMethodOneArg(file_path.get(), st->names.open.get(), st->names.mode_rb.get()));
    if (!handle) return nullptr;
    Ref positions = scan_positions(st, self, handle.get());
    // The handle is closed on every way out; an error of the scan wins over one of the close.
    py::compat::RaisedError raised = py::compat::RaisedError::fetch();
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(handle.get(), st->names.close.get()));
    if (raised) {
        raised.restore();
        return nullptr;
    }
    if (!closed) return nullptr;
    return positions.release();
}

PyObject* recent_iter(PyObject* self) {
    ModuleState* st = state_of(self);
    if (st == nullptr) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttr(self, st->names.current_line.get(), zero.get()) < 0)
        return nullptr;
    return Ref::borrow(self).release();
}

bool is_ascii_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view strip_ascii(std::string_view bytes) {
    while (!bytes.empty() && is_ascii_space(bytes.front())) bytes.remove_prefix(1);
    while (!bytes.empty() && is_ascii_space(bytes.back())) bytes.remove_suffix(1);
    return bytes;
}

// The native window reader of the binary file the constructor opened, while that file is still
// `_file` and open: an exact BufferedReader over an exact FileIO on a regular file, looked at
// once. Null (no error set) when the file object's own seek and readline must serve.
core::LineAtOffset* own_window(PyObject* module, ModuleState* st, OwnFile& own, PyObject* file) {
    if (!own.opened.is(file) || own.mode == ReadMode::host) return nullptr;
    if (!own.window) {
        own.mode = ReadMode::host;
        if (!is_exactly(file, st->buffered_reader_type)) return nullptr;
        Ref raw = through(st->buffered_raw, file);
        if (!raw || !is_exactly(raw.get(), st->file_io_type)) {
            PyErr_Clear();
            return nullptr;
        }
        int fd = PyObject_AsFileDescriptor(raw.get());
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            PyErr_Clear();
            return nullptr;
        }
        std::size_t limit = 0;
        if (!max_line_length(module, st, limit)) return nullptr;
        own.mode = ReadMode::below;
        own.raw = std::move(raw);
        own.window = std::make_shared<core::LineAtOffset>(fd, limit);
    }
    // Closing the file stops the native reader: the file's own seek reports it.
    Ref closed = through(st->buffered_closed, file);
    if (!closed || closed.get() != Py_False) {
        PyErr_Clear();
        return nullptr;
    }
    return own.window.get();
}

// One window line: stripped bytes known to be UTF-8, or a str for the host's JSON decoder.
struct WindowLine {
    Ref raw;
    Ref text;
    std::string_view utf8;
    // The bytes, out of the window reader's block: advancing current_line may run Python code
    // that reads on through the same iterator.
    std::string copy;
};

enum class Read { line, dropped, error };

// Reads the line at `offset` through the file object's seek and readline, as a caller's file
// must be read.
Read read_through_file(ModuleState* st, PyObject* file, PyObject* offset, WindowLine& line,
                       std::string_view& bytes) {
    Ref moved = Ref::steal(PyObject_CallMethodOneArg(file, st->names.seek.get(), offset));
    if (!moved) return Read::error;
    line.raw = Ref::steal(PyObject_CallMethodNoArgs(file, st->names.readline.get()));
    if (!line.raw) return Read::error;
    if (PyBytes_CheckExact(line.raw.get())) {
        bytes = std::string_view(PyBytes_AS_STRING(line.raw.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(line.raw.get())));
        return Read::line;
    }
    Ref stripped = Ref::steal(PyObject_CallMethod(line.raw.get(), "strip", nullptr));
    if (!stripped) return Read::error;
    line.text = Ref::steal(PyObject_CallMethod(stripped.get(), "decode", "s", "utf-8"));
    if (line.text) return Read::line;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return Read::error;
    PyErr_Clear();
    return Read::dropped;
}

// Reads the line at `offset`, strips it and checks that it is UTF-8. A line that is not, or
// that is too long to hold, is dropped: it still counts as one of the window's lines.
Read read_window_line(PyObject* module, ModuleState* st, HostCalls& host, OwnFile& own,
                      PyObject* file, PyObject* offset, WindowLine& line) {
    std::string_view bytes;
    core::LineAtOffset* window = own_window(module, st, own, file);
    if (PyErr_Occurred()) return Read::error;
    long long at = window != nullptr && PyLong_CheckExact(offset) ? PyLong_AsLongLong(offset) : -1;
    if (at == -1 && PyErr_Occurred()) PyErr_Clear();
    if (at >= 0) {
        switch (window->read(at, bytes)) {
            case core::LineAtOffset::Status::line:
                break;
            case core::LineAtOffset::Status::too_long:
                return Read::dropped;
            case core::LineAtOffset::Status::read_error:
                PyErr_SetFromErrno(PyExc_OSError);
                return Read::error;
        }
    } else {
        Read read = read_through_file(st, file, offset, line, bytes);
        if (read != Read::line || line.text) return read;
    }
    bytes = strip_ascii(bytes);
    if (!core::is_valid_utf8(bytes)) return Read::dropped;
    if (host.fast && host.loads_is_original) {
        line.copy.assign(bytes);
        line.utf8 = line.copy;
        return Read::line;
    }
    line.text = Ref::steal(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
    return line.text ? Read::line : Read::error;
}

}  // namespace

PyObject* recent_step(PyObject* self, py::LineOffer* offer) {
    HostCalls host;
    if (!host.load(self)) return nullptr;
    ModuleState* st = host.st;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    bool dropped = false;
    while (true) {
        Ref current = py::getattr(self, st->names.current_line.get());
        if (!current) return nullptr;
        Ref positions = py::getattr(self, st->names.positions.get());
        if (!positions) return nullptr;
        Py_ssize_t length = PyObject_Size(positions.get());
        if (length < 0) return nullptr;
        Ref last = Ref::steal(PyLong_FromSsize_t(length - 1));
        if (!last) return nullptr;
        int inside = PyObject_RichCompareBool(current.get(), last.get(), Py_LT);
        if (inside < 0) return nullptr;
        if (!inside) {
            Ref closed = close_file(self, st);
            return nullptr;
        }
        Ref offset = Ref::steal(PyObject_GetItem(positions.get(), current.get()));
        if (!offset) return nullptr;
        Ref file = py::getattr(self, st->names.file.get());
        if (!file) return nullptr;
        if (!PyLong_CheckExact(offset.get())) {
            // The file's own seek reads it, and may run Python code to do so.
            LineText unread;
            unread.offer = offer;
            if (!python_may_run(unread)) return nullptr;
        }
        WindowLine window;
        Read read = read_window_line(host.module, st, host, as_iterator(self)->native->own,
                                     file.get(), offset.get(), window);
        if (read == Read::error) return nullptr;
        Ref next_line = Ref::steal(PyNumber_Add(current.get(), one.get()));
        if (!next_line ||
            PyObject_SetAttr(self, st->names.current_line.get(), next_line.get()) < 0) {
            return nullptr;
        }
        if (read == Read::dropped) continue;
        LineText text;
        text.object = window.text.get();
        text.utf8 = window.utf8;
        text.offer = offer;
        const Offered offered = offer_line(text, text.utf8);
        if (offered == Offered::next_line) continue;
        if (offered != Offered::decode) return nullptr;
        // Code run for a line dropped earlier in this call may have replaced json.loads.
        if (dropped && !host.refresh(self)) return nullptr;
        Ref record;
        int accepted = decode_and_filter(self, host, text, record);
        if (accepted < 0) return nullptr;
        if (accepted > 0) return record.release();
        if (offer != nullptr) return stop_step(*offer);
        dropped = true;
    }
}

PyObject* recent_next(PyObject* self) {
    return recent_step(self, nullptr);
}

int recent_pass_ready(PyObject* self, HostCalls& host) {
    ModuleState* st = host.st;
    PyObject* dict = py::Guard::instance_dict_of(self);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return 0;
    // Counting through the window runs no Python code on the host's own int and list.
    PyObject* current = instance_entry(Py_TYPE(self), dict, st->names.current_line.get());
    PyObject* positions = instance_entry(Py_TYPE(self), dict, st->names.positions.get());
    PyObject* file = instance_entry(Py_TYPE(self), dict, st->names.file.get());
    if (current == nullptr || positions == nullptr || file == nullptr ||
        !PyLong_CheckExact(current) || !PyList_CheckExact(positions)) {
        return 0;
    }
    if (own_window(host.module, st, as_iterator(self)->native->own, file) != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

namespace {

PyMethodDef recent_methods[] = {
    {"__init__", cfunction(recent_init_method), METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
     "__init__($self, /, event_file_path, count)\n--\n\n"
     "\n        :param count: Number of the most recent events to iterate over.\n        "},
    {"_find_positions", cfunction(find_positions), METH_NOARGS,
     "_find_positions($self, /)\n--\n\n"
     "Byte offsets of the lines to read, oldest first, and the end of the newest one."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* make_recent_type(PyObject* module, PyObject* base) {
    PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},

        {Py_tp_doc, const_cast<char*>("\n    Iterate over recent events.\n    ")},
        {Py_tp_init, reinterpret_cast<void*>(recent_init)},
        {Py_tp_iter, reinterpret_cast<void*>(recent_iter)},
        {Py_tp_iternext, reinterpret_cast<void*>(recent_next)},
        {Py_tp_methods, recent_methods},
        {0, nullptr}};
    PyType_Spec spec = {"nerit_record_console.record_source.NeritRecentEventIterator", 0, 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return PyType_FromModuleAndSpec(module, &spec, base);
}

}  // namespace nerit::record_source
