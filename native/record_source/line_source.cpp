// Choosing between the native line reader and the host file's readline, and keeping the two
// consistent when reading passes from one to the other.
#include "record_source/line_source.hpp"

#include <sys/stat.h>

namespace nerit::record_source {
namespace {

bool is_exactly(PyObject* object, const Ref& type) {
    return Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(type.get()));
}

// 1 when `value` is a str equal to `expected`, 0 when not.
int text_attribute_is_value(PyObject* value, PyObject* expected) {
    if (!PyUnicode_CheckExact(value)) return 0;
    return PyUnicode_Compare(value, expected) == 0 ? 1 : 0;
}

// 1 when the text attribute `name` of `object` equals `expected`, 0 when not, -1 on error.
int text_attribute_is(PyObject* object, PyObject* name, PyObject* expected) {
    Ref value = py::getattr(object, name);
    if (!value) return -1;
    return text_attribute_is_value(value.get(), expected);
}

// What attribute lookup of a data descriptor's name gives on an exact instance of the
// descriptor's (immutable) type, with no lookup.
Ref through(const Ref& descriptor, PyObject* object) {
    PyObject* d = descriptor.get();
    return Ref::steal(
        Py_TYPE(d)->tp_descr_get(d, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

}  // namespace

// Whether the native reader may stand in for `_file.readline()` on this call. Every check that
// fails, including by raising, leaves the host's readline in charge. The file is an exact
// TextIOWrapper over an exact BufferedReader over an exact FileIO, so each attribute is read
// through the type's own descriptor; what was checked once (the codec, the errors value, the
// types below) is trusted again only for the very same objects.
bool LineSource::native_allowed(HostCalls& host) {
    if (!host.fast || state_->mode == ReadMode::host) return false;
    PyObject* file = file_.get();
    if (!state_->opened_file.is(file) || !state_->opened_through_posix_path) return false;
    if (!is_exactly(file, st_->text_io_wrapper_type)) return false;
    // Raises once the file is detached, as every reading operation would.
    Ref chunk = through(st_->text_chunk_size, file);
    if (!chunk || !PyLong_CheckExact(chunk.get())) return false;
    Py_ssize_t size = PyLong_AsSsize_t(chunk.get());
    if (size <= 0) return false;
    chunk_size_ = static_cast<std::size_t>(size);
    Ref buffer = through(st_->text_buffer, file);
    if (!buffer) return false;
    if (!state_->checked_buffer.is(buffer.get())) {
        if (!is_exactly(buffer.get(), st_->buffered_reader_type)) return false;
        state_->checked_buffer = buffer;
    }
    Ref raw = through(st_->buffered_raw, buffer.get());
    if (!raw || !is_exactly(raw.get(), st_->file_io_type)) return false;
    if (state_->reader && !state_->reader_raw.is(raw.get())) return false;
    // The text file is closed exactly when its buffer is.
    Ref closed = through(st_->buffered_closed, buffer.get());
    if (!closed || closed.get() != Py_False) return false;
    Ref errors = through(st_->text_errors, file);
    if (!errors) return false;
    if (!state_->strict_errors.is(errors.get())) {
        if (text_attribute_is_value(errors.get(), st_->names.strict.get()) != 1) return false;
        state_->strict_errors = std::move(errors);
    }
    Ref encoding = through(st_->text_encoding, file);
    if (!encoding) return false;
    // The codec registry is asked once per encoding object, not on every call.
    if (!state_->utf8_encoding.is(encoding.get())) {
        Ref codec = Ref::steal(PyObject_CallOneArg(st_->codecs_lookup.get(), encoding.get()));
        if (!codec ||
            text_attribute_is(codec.get(), st_->names.name.get(), st_->names.utf_8.get()) != 1) {
            return false;
        }
        state_->utf8_encoding = std::move(encoding);
    }
    if (!state_->reader) {
        int fd = PyObject_AsFileDescriptor(raw.get());
        if (fd < 0) return false;
        struct stat info;
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
        state_->reader = std::make_unique<core::TextLineReader>(fd, state_->start_offset);
        state_->reader_raw = std::move(raw);
    }
    return true;
}

bool LineSource::begin(PyObject* self, HostCalls& host) {
    self_ = self;
    state_ = as_iterator(self)->native;
    st_ = host.st;
    file_ = host.file ? host.file : py::getattr(self, st_->names.file.get());
    if (!file_) return false;
    reader_ = nullptr;
    bool allowed = native_allowed(host);
    if (PyErr_Occurred()) PyErr_Clear();
    if (allowed) {
        state_->mode = ReadMode::native;
        reader_ = state_->reader.get();
        return true;
    }
    if (state_->opened_file.is(file_.get()) && state_->mode != ReadMode::host) {
        // The host file has not moved while the native reader ran: put it where reading stands.
        if (state_->mode == ReadMode::native && state_->reader) {
            Ref offset = Ref::steal(PyLong_FromLongLong(state_->reader->next_line_offset()));
            Ref closed = py::getattr(file_.get(), st_->names.closed.get());
            if (offset && closed && closed.get() == Py_False) {
                Ref moved = Ref::steal(
                    PyObject_CallMethodOneArg(file_.get(), st_->names.seek.get(), offset.get()));
            }
            PyErr_Clear();
        }
        state_->mode = ReadMode::host;
        state_->reader.reset();
    }
    return true;
}

LineSource::Got LineSource::raise_decode_error() {
    std::string_view input = reader_->failed_input();
    Py_ssize_t consumed = 0;
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8Stateful(input.data(), static_cast<Py_ssize_t>(input.size()), "strict",
                                     reader_->failed_final() ? nullptr : &consumed));
    if (text) {
        PyErr_SetString(PyExc_SystemError, "native UTF-8 check disagrees with the host decoder");
    }
    return Got::error;
}

LineSource::Got LineSource::next(LineText& line) {
    if (reader_ == nullptr) {
        host_line_ = Ref::steal(PyObject_CallMethodNoArgs(file_.get(), st_->names.readline.get()));
        if (!host_line_) return Got::error;
        PyObject* text = host_line_.get();
        int more =
            PyUnicode_CheckExact(text) ? PyUnicode_GET_LENGTH(text) > 0 : PyObject_IsTrue(text);
        if (more < 0) return Got::error;
        if (more == 0) return Got::end;
        line.object = text;
        line.utf8 = {};
        return Got::line;
    }
    core::TextLineReader::Line read;
    auto status = state_->follows_appends ? reader_->next_appended(chunk_size_, read)
                                          : reader_->next(chunk_size_, read);
    switch (status) {
        case core::TextLineReader::Status::line:
            break;
        case core::TextLineReader::Status::end_of_file:
            return Got::end;
        case core::TextLineReader::Status::decode_error:
            return raise_decode_error();
        case core::TextLineReader::Status::read_error:
            errno = reader_->errno_value();
            PyErr_SetFromErrno(PyExc_OSError);
            return Got::error;
    }
    line.object = nullptr;
    if (!read.terminated) {
        line.utf8 = read.content;
    } else if (read.lf_follows) {
        line.utf8 = std::string_view(read.content.data(), read.content.size() + 1);
    } else {
        state_->scratch.assign(read.content);
        state_->scratch.push_back('\n');
        line.utf8 = state_->scratch;
    }
    return Got::line;
}

}  // namespace nerit::record_source
