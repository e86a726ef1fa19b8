// The native print loop: while nothing written in Python can see the events of a pass, the
// lines go from the iterator's reader through the byte-level scan, filters and layout straight
// to standard output, with no event object made.
#pragma once

#include <memory>

#include "core/event_writer.hpp"
#include "record_console/stdout_text.hpp"

namespace nerit::console {

// How a stretch of the native loop ended.
enum class PassEnd {
    end,     // the iterator is exhausted
    record,  // a line the native path declined gave this record: print it the host's way
    host,    // the proof no longer holds: the rest of the pass is the host's
    error,   // an error is set, raised at the event where the host's loop raises it
};

class NativePass {
  public:
    // Proves that the pass of `events` (what the viewer's loop iterates) may run natively.
    // False with no error set when it may not (the host's loop runs it all); false with an
    // error set when the proof itself failed.
    bool begin(const Context& ctx, PyObject* viewer, PyObject* events, PyObject* formatter);
    bool active() const { return active_; }
    // Runs lines until one of the ends above.
    PassEnd run(py::Ref& record);
    // After the host printed a record: whether the proof still holds (the pass goes on
    // natively) or not (it is no longer active). False with an error set on failure.
    bool check_again();

  private:
    struct Offer : py::LineOffer {
        NativePass* pass = nullptr;
    };
    static int take(py::LineOffer* offer, std::string_view line);
    static int before_python(py::LineOffer* offer);
    // Builds the guard and everything the loop writes with; 1 proven, 0 not, -1 error.
    int prove(bool first);
    // prove(), with the errors of looking things up cleared (then: not proven).
    int prove_quietly(bool first);
    // After a step paused: hands the held text on, runs signal handlers, checks again.
    bool between_steps();
    // Whether what the guard cannot see is as it was: standard output and the filter sets.
    int unseen_state_holds();
    PassEnd finish(PassEnd end);

    Context ctx_;
    PyObject* viewer_ = nullptr;     // borrowed: the caller holds them for the pass
    PyObject* events_ = nullptr;
    PyObject* formatter_ = nullptr;
    bool active_ = false;
    py::Guard guard_;
    core::EventFilters filters_;
    core::LayoutSettings settings_;
    StdoutShape stdout_;
    std::unique_ptr<core::EventWriter> writer_;
    StdoutFeed feed_;
    Offer offer_;
    std::size_t lines_since_check_ = 0;
};

}  // namespace nerit::console
