// The lines of `_file` for the all-events, time-range and new-events iterators: the native reader
// below the file object while `_file` is the file the iterator opened, the file's own readline
// when a caller put another one there.
#pragma once

#include <memory>
#include <string>

#include "core/event_date.hpp"
#include "record_source/decode_filter.hpp"
#include "record_source/iterator_object.hpp"
#include "record_source/iterator_types.hpp"

namespace nerit::record_source {

class LineSource {
  public:
    enum class Got { line, end, error };

    // Decides for one __next__ call which reader serves; false with an error set on failure.
    bool begin(PyObject* self, HostCalls& host);

    // The next line of a file read to its end. Lines that do not decode in the file's encoding,
    // and lines too long to hold, are dropped here; so are lines that `floor` passes over,
    // before their bytes are checked. A line stays valid until the next call. Without
    // `check_utf8`, UTF-8 bytes come unchecked (marked so) for a caller that checks them.
    Got next(LineText& line, const core::DateFloor* floor = nullptr, bool check_utf8 = true);

    // New-events: the next whole line of a file that is still being written (see
    // LineReader::next_appended); the readline of another file's object as it comes.
    Got next_appended(LineText& line);

    // New-events, native reader only: what is left of an unfinished last line, once the file
    // will not grow any more (Got::end when nothing is left or it does not decode).
    Got take_unfinished(LineText& line);

    // True when lines come from the native reader (as UTF-8 bytes or decoded text).
    bool native() const { return reader_ != nullptr; }
    core::LineReader* reader() const { return reader_.get(); }
    // True when lines come from the native reader as UTF-8 bytes, checked here.
    bool reads_utf8() const { return reader_ != nullptr && encoding_ == nullptr; }

  private:
    enum class Below { usable, not_now, never, error };
    Below below(PyObject* file);
    Below first_look(PyObject* file);
    bool set_codec(PyObject* file);
    Got read_host_line(LineText& line);
    Got read_error();
    // Turns the bytes of one line into its text: 1 done, 0 when they do not decode (the line is
    // dropped), -1 on error.
    int hand_on(const core::LineReader::Line& read, LineText& line, bool check_utf8 = true);
    // The first line `read_one` gives that decodes.
    template <class ReadOne>
    Got first_decodable(LineText& line, ReadOne&& read_one, bool check_utf8 = true);

    OwnFile* own_ = nullptr;
    ModuleState* st_ = nullptr;
    PyObject* module_ = nullptr;
    Ref file_;
    Ref host_line_;
    Ref decoded_;
    std::shared_ptr<core::LineReader> reader_;  // held: Python code may replace the iterator's
    const char* encoding_ = nullptr;  // a codec other than strict UTF-8, with its errors value
    const char* errors_ = nullptr;
    Ref codec_texts_[2];  // the str objects those two point into
    std::string scratch_;  // a line rebuilt with its "\n" when it ended in CR or CR LF
};

// What a reading iterator makes of a line before decoding it.
enum class Verdict { skip, in_range, past_end, error };

// The __next__ loop of the iterators that read `_file` once to its end: each line is judged
// (`judge(line)` returns a Verdict), decoded and filtered when in range; the file is closed
// when it runs out or a line lies past the end of the range. Lines that `floor` passes over are
// not even judged. With an `offer` (a native pass), a line in range is first offered as bytes;
// the loop then returns without a record (and without an error) when the offer asks to stop or
// once Python code ran for a line that gave no record, with `offer->stop` set.
// A judge that never looks at the line lets a native pass check its bytes itself
// (`lines_checked` false).
template <class Judge>
PyObject* next_from_file(PyObject* self, HostCalls& host, Judge&& judge,
                         const core::DateFloor* floor = nullptr, py::LineOffer* offer = nullptr,
                         bool lines_checked = true) {
    LineSource source;
    if (!source.begin(self, host)) return nullptr;
    bool dropped = false;
    while (true) {
        LineText line;
        line.offer = offer;
        LineSource::Got got = source.next(line, floor, lines_checked || offer == nullptr);
        if (got == LineSource::Got::error) return nullptr;
        Verdict verdict = got == LineSource::Got::end ? Verdict::past_end : judge(line);
        if (verdict == Verdict::error) return nullptr;
        if (verdict == Verdict::skip) {
            if (offer != nullptr && offer->python_ran) return stop_step(*offer);
            continue;
        }
        if (verdict == Verdict::past_end) {
            Ref closed = close_file(self, host.st);
            return nullptr;
        }
        const Offered offered = offer_line(line, without_line_end(line.utf8));
        if (offered == Offered::next_line) continue;
        if (offered != Offered::decode) return nullptr;
        // Code run for a line dropped earlier in this call may have replaced json.loads.
        if (dropped && !host.refresh(self)) return nullptr;
        Ref record;
        int accepted = decode_and_filter(self, host, line, record);
        if (accepted < 0) return nullptr;
        if (accepted > 0) return record.release();
        if (offer != nullptr) return stop_step(*offer);
        dropped = true;
    }
}

}  // namespace nerit::record_source
