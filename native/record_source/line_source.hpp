// The lines of `_file` for the all-events, time-range and new-events iterators: the native
// reader while the constructor's UTF-8 text file is read untouched, the file's own readline
// otherwise.
#pragma once

#include "record_source/iterator.hpp"

namespace nerit::record_source {

class LineSource {
  public:
    enum class Got { line, end, error };

    // Decides for one __next__ call which reader serves; false with an error set on failure.
    bool begin(PyObject* self, HostCalls& host);

    // The next line; it stays valid until the next call.
    Got next(LineText& line);

    // True when lines come from the native reader (as UTF-8 bytes).
    bool native() const { return reader_ != nullptr; }

  private:
    bool native_allowed(HostCalls& host);
    Got raise_decode_error();

    PyObject* self_ = nullptr;
    NativeState* state_ = nullptr;
    ModuleState* st_ = nullptr;
    Ref file_;
    Ref host_line_;
    core::TextLineReader* reader_ = nullptr;
    std::size_t chunk_size_ = 0;
};

}  // namespace nerit::record_source
