// Choosing between the native reader below the iterator's own file and the readline of a file
// a caller put in its place, and turning the bytes of a line into its text.
#include "record_source/line_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/utf8.hpp"
#include "py/host.hpp"

namespace nerit::record_source {

bool max_line_length(PyObject* module, ModuleState* st, std::size_t& limit) {
    PyObject* value = py::module_global(module, st->names.max_line_length.get());
    if (value == nullptr) {
        if (PyErr_Occurred()) return false;
        limit = kMaxLineLength;
        return true;
    }
    Py_ssize_t given = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (given == -1 && PyErr_Occurred()) return false;
    limit = given < 0 ? 0 : static_cast<std::size_t>(given);
    return true;
}

// Whether the file object is one the native reader can stand under, looked at once: an exact
// TextIOWrapper over an exact BufferedReader over an exact FileIO on a regular file, opened by
// the standard Path.open (universal newlines), whose position is still where the iterator left
// it (nothing has read through the object).
LineSource::Below LineSource::first_look(PyObject* file) {
    if (!own_->opened_through_posix_path || !is_exactly(file, st_->text_io_wrapper_type))
        return Below::never;
    Ref buffer = through(st_->text_buffer, file);
    if (!buffer) return Below::not_now;  // detached: its readline says so
    if (!is_exactly(buffer.get(), st_->buffered_reader_type)) return Below::never;
    Ref raw = through(st_->buffered_raw, buffer.get());
    if (!raw) return Below::not_now;
    if (!is_exactly(raw.get(), st_->file_io_type)) return Below::never;
    Ref closed = through(st_->buffered_closed, buffer.get());
    if (!closed || closed.get() != Py_False) return Below::not_now;
    int fd = PyObject_AsFileDescriptor(raw.get());
    if (fd < 0) return Below::not_now;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return Below::never;
    if (lseek(fd, 0, SEEK_CUR) != static_cast<off_t>(own_->start_offset)) return Below::never;
    std::size_t limit = 0;
    if (!max_line_length(module_, st_, limit)) return Below::error;
    own_->buffer = std::move(buffer);
    own_->raw = std::move(raw);
    own_->lines = std::make_shared<core::LineReader>(fd, own_->start_offset, limit);
    return Below::usable;
}

// The file's encoding and errors value on this call: strict UTF-8 is checked natively, any
// other pair goes through the codec line by line.
bool LineSource::set_codec(PyObject* file) {
    Ref errors = through(st_->text_errors, file);
    Ref encoding = through(st_->text_encoding, file);
    if (!errors || !encoding) return false;
    if (!own_->strict_errors.is(errors.get()) && PyUnicode_CheckExact(errors.get()) &&
        PyUnicode_Compare(errors.get(), st_->names.strict.get()) == 0) {
        own_->strict_errors = errors;
    }
    // The codec registry is asked once per encoding object, not on every call.
    if (!own_->utf8_encoding.is(encoding.get())) {
        Ref codec = Ref::steal(PyObject_CallOneArg(st_->codecs_lookup.get(), encoding.get()));
        if (!codec) return false;
        Ref name = py::getattr(codec.get(), st_->names.name.get());
        if (!name) return false;
        if (PyUnicode_CheckExact(name.get()) &&
            PyUnicode_Compare(name.get(), st_->names.utf_8.get()) == 0) {
            own_->utf8_encoding = encoding;
        }
    }
    if (own_->strict_errors.is(errors.get()) && own_->utf8_encoding.is(encoding.get())) {
        encoding_ = errors_ = nullptr;
        return true;
    }
    encoding_ = PyUnicode_AsUTF8(encoding.get());
    errors_ = PyUnicode_AsUTF8(errors.get());
    if (encoding_ == nullptr || errors_ == nullptr) return false;
    // The texts live in objects that the file holds; keep them for the lines of this call.
    codec_texts_[0] = std::move(encoding);
    codec_texts_[1] = std::move(errors);
    return true;
}

LineSource::Below LineSource::below(PyObject* file) {
    if (!own_->lines) {
        Below first = first_look(file);
        if (first != Below::usable) return first;
    } else {
        // Closing or detaching the file stops the native reader: its readline gives the error.
        Ref buffer = through(st_->text_buffer, file);
        if (!buffer || !buffer.is(own_->buffer.get())) return Below::not_now;
        Ref closed = through(st_->buffered_closed, buffer.get());
        if (!closed || closed.get() != Py_False) return Below::not_now;
    }
    return set_codec(file) ? Below::usable : Below::error;
}

bool LineSource::begin(PyObject* self, HostCalls& host) {
    own_ = &as_iterator(self)->native->own;
    st_ = host.st;
    module_ = host.module;
    file_ = host.file ? host.file : py::getattr(self, st_->names.file.get());
    if (!file_) return false;
    reader_.reset();
    if (!own_->opened.is(file_.get()) || own_->mode == ReadMode::host) return true;
    switch (below(file_.get())) {
        case Below::usable:
            own_->mode = ReadMode::below;
            reader_ = own_->lines;
            return true;
        case Below::never:
            own_->mode = ReadMode::host;
            return true;
        case Below::not_now:
            PyErr_Clear();
            return true;
        case Below::error:
            break;
    }
    return false;
}

LineSource::Got LineSource::read_host_line(LineText& line) {
    host_line_ = Ref::steal(PyObject_CallMethodNoArgs(file_.get(), st_->names.readline.get()));
    if (!host_line_) return Got::error;
    PyObject* text = host_line_.get();
    int more = PyUnicode_CheckExact(text) ? PyUnicode_GET_LENGTH(text) > 0 : PyObject_IsTrue(text);
    if (more < 0) return Got::error;
    if (more == 0) return Got::end;
    line.object = text;
    return Got::line;
}

LineSource::Got LineSource::read_error() {
    errno = reader_->errno_value();
    PyErr_SetFromErrno(PyExc_OSError);
    return Got::error;
}

int LineSource::hand_on(const core::LineReader::Line& read, LineText& line, bool check_utf8) {
    std::string_view text = read.content;
    if (read.lf_follows) {
        text = std::string_view(read.content.data(), read.content.size() + 1);
    } else if (read.terminated) {
        scratch_.assign(read.content);
        scratch_.push_back('\n');
        text = scratch_;
    }
    if (encoding_ == nullptr) {
        if (check_utf8 && !core::is_valid_utf8(read.content)) return 0;
        line.object = nullptr;
        line.utf8 = text;
        line.unchecked = !check_utf8;
        return 1;
    }
    decoded_ = Ref::steal(PyUnicode_Decode(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           encoding_, errors_));
    if (!decoded_) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    line.object = decoded_.get();
    return 1;
}

template <class ReadOne>
LineSource::Got LineSource::first_decodable(LineText& line, ReadOne&& read_one,
                                            bool check_utf8) {
    while (true) {
        core::LineReader::Line read;
        core::LineReader::Status status = read_one(read);
        if (status == core::LineReader::Status::end_of_file) return Got::end;
        if (status == core::LineReader::Status::read_error) return read_error();
        int handed = hand_on(read, line, check_utf8);
        if (handed != 0) return handed > 0 ? Got::line : Got::error;
    }
}

LineSource::Got LineSource::next(LineText& line, const core::DateFloor* floor,
                                 bool check_utf8) {
    if (!reader_) return read_host_line(line);
    if (floor == nullptr) {
        return first_decodable(
            line, [this](core::LineReader::Line& read) { return reader_->next(read); },
            check_utf8);
    }
    return first_decodable(line, [this, floor](core::LineReader::Line& read) {
        return reader_->next(read, [floor](std::string_view bytes) {
            return floor->passes_over(bytes);
        });
    });
}

LineSource::Got LineSource::next_appended(LineText& line) {
    if (!reader_) return read_host_line(line);
    return first_decodable(
        line, [this](core::LineReader::Line& read) { return reader_->next_appended(read); });
}

LineSource::Got LineSource::take_unfinished(LineText& line) {
    core::LineReader::Line read;
    if (!reader_ || !reader_->take_unfinished(read)) return Got::end;
    int handed = hand_on(read, line);
    if (handed == 0) return Got::end;
    return handed > 0 ? Got::line : Got::error;
}

}  // namespace nerit::record_source
