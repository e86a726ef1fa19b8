// Standard output as the native print loop writes to it: the checks that make its blocks
// computable, and the hand-offs themselves.
#include "record_console/stdout_text.hpp"

#include <cstring>
#include <utility>

#include "py/host.hpp"

namespace nerit::console {

using py::Ref;

namespace {

bool is_exactly(PyObject* object, const Ref& type) {
    return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(type.get());
}

// 1 when calling the method `name` of `file` returns True, 0 for False, -1 on error.
int ask(PyObject* file, PyObject* name) {
    Ref answer = Ref::steal(PyObject_CallMethodNoArgs(file, name));
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// 1 when the encoding names UTF-8, as the codec registry says; the answer is kept per object.
int names_utf8(ConsoleState& st, PyObject* encoding) {
    if (st.utf8_encoding.is(encoding)) return 1;
    if (!PyUnicode_CheckExact(encoding)) return 0;
    Ref codec = Ref::steal(PyObject_CallOneArg(st.codecs_lookup.get(), encoding));
    if (!codec) {
        PyErr_Clear();
        return 0;
    }
    Ref name = py::getattr(codec.get(), st.a_name.get());
    if (!name) return -1;
    if (!PyUnicode_CheckExact(name.get()) ||
        PyUnicode_Compare(name.get(), st.s_utf_8.get()) != 0) {
        return 0;
    }
    st.utf8_encoding = Ref::borrow(encoding);
    return 1;
}

// The truth of file.<name>, which must be a bool: 1, 0, or -1 (error set) / -2 (not a bool).
int flag(PyObject* file, PyObject* name) {
    Ref value = py::getattr(file, name);
    if (!value) return -1;
    if (!PyBool_Check(value.get())) return -2;
    return value.get() == Py_True;
}

bool read_rule(ConsoleState& st, PyObject* file, core::TextFileRule& rule, int& usable) {
    usable = 0;
    if (!st.text_file_hands_before) return true;
    rule.hands_before = *st.text_file_hands_before;
    const int line_buffering = flag(file, st.a_line_buffering.get());
    const int write_through = flag(file, st.a_write_through.get());
    if (line_buffering == -1 || write_through == -1) return false;
    Ref chunk = py::getattr(file, st.a_chunk_size.get());
    if (!chunk) return false;
    if (line_buffering < 0 || write_through < 0 || !PyLong_CheckExact(chunk.get())) return true;
    const Py_ssize_t chunk_size = PyLong_AsSsize_t(chunk.get());
    if (chunk_size <= 0) {
        PyErr_Clear();
        return true;
    }
    rule.chunk_size = static_cast<std::size_t>(chunk_size);
    rule.line_buffering = line_buffering == 1;
    rule.write_through = write_through == 1;
    usable = 1;
    return true;
}

bool has_line_end(const char* text, std::size_t size) {
    return std::memchr(text, '\n', size) != nullptr || std::memchr(text, '\r', size) != nullptr;
}

}  // namespace

bool learn_text_file_rule(ConsoleState& st) {
    // Four bytes a chunk: two pending, then a write of three. Handing on the two first is the
    // older rule; one block of five is the newer.
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return false;
    Ref bytes_file = Ref::steal(PyObject_CallMethod(io.get(), "BytesIO", nullptr));
    if (!bytes_file) return false;
    Ref text_file = Ref::steal(PyObject_CallFunction(st.text_io_wrapper_type.get(), "Os",
                                                     bytes_file.get(), "utf-8"));
    if (!text_file) return false;
    Ref chunk = Ref::steal(PyLong_FromLong(4));
    if (!chunk || PyObject_SetAttr(text_file.get(), st.a_chunk_size.get(), chunk.get()) < 0 ||
        !Ref::steal(PyObject_CallMethod(text_file.get(), "write", "s", "xx")) ||
        !Ref::steal(PyObject_CallMethod(text_file.get(), "write", "s", "yyy"))) {
        return false;
    }
    Ref handed = Ref::steal(PyObject_CallMethod(bytes_file.get(), "tell", nullptr));
    if (!handed) return false;
    const long count = PyLong_AsLong(handed.get());
    if (count == -1 && PyErr_Occurred()) return false;
    if (count == 2) {
        st.text_file_hands_before = core::HandsBefore::past_chunk;
    } else if (count == 5) {
        st.text_file_hands_before = core::HandsBefore::chunk_or_more;
    }
    // Anything else: a rule this loop does not know, and it leaves standard output alone.
    return true;
}

int read_stdout_shape(ConsoleState& st, PyObject* file, StdoutShape& out) {
    // A file that writes another line end counts other bytes than print's text holds.
    if (!is_exactly(file, st.text_io_wrapper_type) || py::compat::text_file_may_translate(file))
        return 0;
    Ref buffer = py::getattr(file, st.a_buffer.get());
    if (!buffer) return -1;
    if (!is_exactly(buffer.get(), st.buffered_writer_type) &&
        !is_exactly(buffer.get(), st.file_io_type)) {
        return 0;
    }
    const int closed = flag(file, st.a_closed.get());
    if (closed != 0) return closed == -1 ? -1 : 0;
    // A file that also reads resets its decoder on every write; leave it to the host.
    const int readable = ask(file, st.a_readable.get());
    const int writable = readable == 0 ? ask(file, st.a_writable.get()) : 0;
    if (readable < 0 || writable < 0) return -1;
    if (readable || !writable) return 0;
    Ref encoding = py::getattr(file, st.a_encoding.get());
    if (!encoding) return -1;
    const int utf8 = names_utf8(st, encoding.get());
    if (utf8 <= 0) return utf8;
    int usable = 0;
    if (!read_rule(st, file, out.rule, usable)) return -1;
    if (!usable) return 0;
    out.file = Ref::borrow(file);
    out.buffer = std::move(buffer);
    out.encoding = std::move(encoding);
    return 1;
}

// The bytes the text file made of `text`: UTF-8, with its errors handler for what UTF-8 cannot
// encode (lone surrogates). Null with no error set when that cannot be told.
Ref encoded_as_written(PyObject* file, PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes != nullptr) return Ref::steal(PyBytes_FromStringAndSize(bytes, size));
    PyErr_Clear();
    Ref errors = py::getattr(file, "errors");
    const char* handler = errors && PyUnicode_Check(errors.get())
                              ? PyUnicode_AsUTF8(errors.get())
                              : nullptr;
    Ref encoded =
        handler == nullptr ? Ref() : Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", handler));
    if (!encoded) PyErr_Clear();
    return encoded;
}

void count_host_print(ConsoleState& st, PyObject* file, PyObject* text) {
    PendingCount& pending = st.stdout_pending;
    if (!pending.file.is(file) || pending.bytes < 0) return;
    core::TextFileRule rule;
    int usable = 0;
    Ref encoded = read_rule(st, file, rule, usable) && usable ? encoded_as_written(file, text)
                                                              : Ref();
    if (!encoded) {
        PyErr_Clear();
        pending.forget();
        return;
    }
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    auto held = static_cast<std::size_t>(pending.bytes);
    held = core::text_file_write(rule, held, length, has_line_end(bytes, length)).pending;
    held = core::text_file_write(rule, held, 1, true).pending;
    pending.bytes = static_cast<Py_ssize_t>(held);
}

bool StdoutFeed::write_file(std::size_t from, std::size_t size) {
    wrote_ = true;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(held_.data() + from,
                                               static_cast<Py_ssize_t>(size), "strict"));
    if (!text) return false;
    PyObject* stack[] = {shape_->file.get(), text.get()};
    return static_cast<bool>(Ref::steal(PyObject_VectorcallMethod(
        st_->write_name.get(), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

int StdoutFeed::start(ConsoleState& st, const StdoutShape& shape) {
    st_ = &st;
    shape_ = &shape;
    held_.clear();
    counted_ = 0;
    PendingCount& pending = st_->stdout_pending;
    const bool may_flush = std::exchange(pending.may_flush, false);
    if (pending.file.is(shape_->file.get()) && pending.bytes >= 0) return 1;
    pending.forget();
    // What was written before the show cannot be counted: it goes on first (usually nothing).
    if (!may_flush) return 0;
    if (!Ref::steal(PyObject_CallMethodNoArgs(shape_->file.get(), st_->a_flush.get())))
        return -1;
    pending.file = shape_->file;
    pending.bytes = 0;
    return 1;
}

bool StdoutFeed::count_write(std::size_t size, bool line_end) {
    PendingCount& pending = st_->stdout_pending;
    const core::TextFileRule& rule = shape_->rule;
    const std::size_t before = counted_;
    const bool line_end_counts = rule.line_buffering && line_end &&
                                 has_line_end(held_.data() + before, size);
    const core::TextFileWrite effect = core::text_file_write(
        rule, static_cast<std::size_t>(pending.bytes) + before, size, line_end_counts);
    if (!effect.hands_before && !effect.hands_after) {
        counted_ += size;
        return true;
    }
    // The earlier writes join what the file holds (they alone never make it hand anything on);
    // this one then makes it hand on as print's write of it would.
    const bool written = (before == 0 || write_file(0, before)) && write_file(before, size);
    if (!written) {
        drop();
        return false;
    }
    pending.bytes = static_cast<Py_ssize_t>(effect.pending);
    held_.drop_front(before + size);
    counted_ = 0;
    return true;
}

bool StdoutFeed::hand_on() {
    if (counted_ == 0) return true;
    const std::size_t size = counted_;
    if (!write_file(0, size)) {
        drop();
        return false;
    }
    st_->stdout_pending.bytes += static_cast<Py_ssize_t>(size);
    held_.drop_front(size);
    counted_ = 0;
    return true;
}

void StdoutFeed::drop() {
    held_.clear();
    counted_ = 0;
    st_->stdout_pending.forget();
}

}  // namespace nerit::console
