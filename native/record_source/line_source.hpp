// The lines of `_file` for the all-events, time-range and new-events iterators: the native
// reader while the constructor's UTF-8 text file is read untouched, the file's own readline
// otherwise.
#pragma once

#include "record_source/decode_filter.hpp"
#include "record_source/iterator_object.hpp"
#include "record_source/iterator_types.hpp"

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

// What a reading iterator makes of a line before decoding it.
enum class Verdict { skip, in_range, past_end, error };

// The __next__ loop of the iterators that read `_file` once to its end: each line is judged
// (`judge(line)` returns a Verdict), decoded and filtered when in range; the file is closed
// when it runs out or a line lies past the end of the range.
template <class Judge>
PyObject* next_from_file(PyObject* self, HostCalls& host, Judge&& judge) {
    LineSource source;
    if (!source.begin(self, host)) return nullptr;
    LineText line;
    while (true) {
        LineSource::Got got = source.next(line);
        if (got == LineSource::Got::error) return nullptr;
        Verdict verdict = got == LineSource::Got::end ? Verdict::past_end : judge(line);
        if (verdict == Verdict::error) return nullptr;
        if (verdict == Verdict::skip) continue;
        if (verdict == Verdict::past_end) {
            Ref closed = close_file(self, host.st);
            return nullptr;
        }
        Ref record;
        int accepted = decode_and_filter(self, host, line, record);
        if (accepted < 0) return nullptr;
        if (accepted > 0) return record.release();
    }
}

}  // namespace nerit::record_source
