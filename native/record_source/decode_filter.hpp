// The decode-and-filter step shared by all iterators, and the module-global reads it makes.
#pragma once

#include <string_view>

#include "core/utf8.hpp"
#include "py/pass_api.hpp"
#include "record_source/lookup_cache.hpp"

namespace nerit::record_source {

// Reads a module global such as "json" as the module's code would, raising NameError like it.
Ref module_global(PyObject* module, PyObject* name);

// A line handed to decoding: a str (the host's readline result, or a line decoded from bytes) or
// bytes the native reader validated as UTF-8 (with the line's "\n" when it had a line end).
struct LineText {
    PyObject* object = nullptr;  // borrowed; null for a native line
    std::string_view utf8;
    Ref held;  // a str made of the bytes before Python code runs, which could move them
    py::LineOffer* offer = nullptr;  // the native pass reading this line, if any
    // UTF-8 bytes the reader left unchecked for the native pass, whose scan checks them itself;
    // a line it declines is checked before it is decoded.
    bool unchecked = false;
};

// Before Python code may run during a native pass: tells the pass once per step, so that it
// hands on its output first. False with an error set when that fails.
inline bool python_may_run(LineText& line) {
    py::LineOffer* offer = line.offer;
    if (offer == nullptr || offer->python_ran) return true;
    offer->python_ran = true;
    return offer->before_python(offer) == 0;
}

// What a native pass made of a line offered to it: it printed or dropped the event (go on with
// the next line, or end the step as it asked), or the line is decoded the host's way (Python
// code may run from here on); or an error is set.
enum class Offered { next_line, end_step, decode, error };

// Offers the line's `bytes` to the native pass reading it, if any.
inline Offered offer_line(LineText& line, std::string_view bytes) {
    py::LineOffer* offer = line.offer;
    if (offer == nullptr) return Offered::decode;
    if (line.object == nullptr && !offer->python_ran) {
        const int taken = offer->take(offer, bytes);
        if (taken < 0) return Offered::error;
        if (taken > 0) return offer->stop ? Offered::end_step : Offered::next_line;
    }
    if (line.unchecked) {
        // Dropped as the reader drops a line that is not UTF-8.
        if (!core::is_valid_utf8(bytes)) return Offered::next_line;
        line.unchecked = false;
    }
    return python_may_run(line) ? Offered::decode : Offered::error;
}

// Ends a native pass's step without a record: the pass checks again before it goes on.
inline PyObject* stop_step(py::LineOffer& offer) {
    offer.stop = true;
    return nullptr;
}

// A line's bytes as the reader hands them on, without the "\n" that ends them.
inline std::string_view without_line_end(std::string_view utf8) {
    if (!utf8.empty() && utf8.back() == '\n') utf8.remove_suffix(1);
    return utf8;
}

// Before Python code runs while a line is in use: the line's bytes live in the reader's block,
// which that code could move by reading on through the same iterator, so the line becomes a
// str of its own. False with an error set when that fails.
bool hold_as_text(LineText& line);

// Decodes the line as JSON and applies _filter_event, dropping lines that raise the JSON
// decoder's error. Returns 1 with `record` set when accepted, 0 when dropped, -1 on error.
int decode_and_filter(PyObject* self, HostCalls& host, const LineText& line, Ref& record);

// Calls self._filter_event(record) (the native test unless it was replaced); new reference.
PyObject* call_filter_event(PyObject* self, HostCalls& host, PyObject* record);

}  // namespace nerit::record_source
