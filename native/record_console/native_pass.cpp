// The proof that nothing written in Python can see the events of a pass, and the native loop
// that runs under it.
#include "record_console/native_pass.hpp"

#include <new>

#include "py/host.hpp"
#include "record_console/host_calls.hpp"
#include "record_console/pending_error.hpp"
#include "record_console/print_line.hpp"

namespace nerit::console {

using py::Ref;

namespace {

// Lines read without a look at signals, or at anything Python code could have changed.
constexpr std::size_t kLinesBetweenChecks = 4096;

}  // namespace

int NativePass::prove(bool first) {
    ConsoleState& st = *ctx_.state;
    guard_.restart();
    // print is the builtin and sys.stdout the host's text file, read as print_line reads them.
    PrintTarget target;
    if (!print_target_now(ctx_, target)) return -1;
    if (target.replacement || !target.fast) return 0;
    PyObject* sys = py::module_global(ctx_.module, st.g_sys.get());
    if (sys == nullptr || !PyModule_CheckExact(sys)) {
        PyErr_Clear();
        return 0;
    }
    StdoutShape shape;
    const int writable = read_stdout_shape(st, target.stdout_file.get(), shape);
    if (writable <= 0) return writable;
    // The formatter the host's loop would find for the next event.
    Ref formatter = py::getattr(viewer_, st.f_formatter.get());
    if (!formatter) return -1;
    if (!formatter.is(formatter_)) return 0;
    if (!guard_.add_module(st.watchers, ctx_.module) ||
        !guard_.add_dict(st.watchers, st.builtins_dict.get()) ||
        !guard_.add_module(st.watchers, sys) || !guard_.add_instance(st.watchers, viewer_)) {
        return 0;
    }
    core::EventFilters filters;
    core::LayoutSettings settings;
    const int source = st.source_api->prepare(events_, st.watchers, guard_, filters);
    if (source <= 0) return source;
    const int layout = st.layout_api->prepare(formatter_, st.watchers, guard_, settings);
    if (layout <= 0) return layout;
    if (!guard_.arm()) return 0;
    if (first) {
        filters_ = std::move(filters);
        settings_ = std::move(settings);
        stdout_ = std::move(shape);
        return 1;
    }
    // Proven again: the pass goes on only with what it began with.
    return filters == filters_ && settings == settings_ && shape.same_as(stdout_) ? 1 : 0;
}

// What the proof failed on is left for the host's loop to meet where it meets it (a detached
// standard output, say, raises at the first event printed, not before the pass); only an
// interrupt stays raised.
int NativePass::prove_quietly(bool first) {
    const int proven = prove(first);
    if (proven < 0 && !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        return 0;
    }
    return proven;
}

bool NativePass::begin(const Context& ctx, PyObject* viewer, PyObject* events,
                       PyObject* formatter) {
    ctx_ = ctx;
    viewer_ = viewer;
    events_ = events;
    formatter_ = formatter;
    active_ = false;
    const int proven = prove_quietly(true);
    const int counted = proven > 0 ? feed_.start(*ctx_.state, stdout_) : 0;
    if (counted <= 0) {
        guard_.clear();
        return false;
    }
    try {
        writer_ = std::make_unique<core::EventWriter>(filters_, settings_);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    offer_.take = take;
    offer_.before_python = before_python;
    offer_.pass = this;
    active_ = true;
    return true;
}

int NativePass::unseen_state_holds() {
    // Filter sets are mutable and standard output can be reconfigured without any dict
    // changing: those are read again.
    core::EventFilters filters;
    StdoutShape shape;
    const int writable = read_stdout_shape(*ctx_.state, stdout_.file.get(), shape);
    if (writable < 0 && !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) PyErr_Clear();
    if (writable <= 0) return writable < 0 && PyErr_Occurred() ? -1 : 0;
    if (!shape.same_as(stdout_)) return 0;
    return ctx_.state->source_api->filters(events_, filters) > 0 && filters == filters_ ? 1 : 0;
}

bool NativePass::check_again() {
    if (!active_) return true;
    int holds = 0;
    if (guard_.holds_for(viewer_) && guard_.holds_for(events_) && guard_.holds_for(formatter_)) {
        holds = unseen_state_holds();
    } else {
        holds = prove_quietly(false);
    }
    // Text printed some other way than counted (not a str, or through another print).
    const PendingCount& pending = ctx_.state->stdout_pending;
    if (holds > 0 && (!pending.file.is(stdout_.file.get()) || pending.bytes < 0)) holds = 0;
    if (holds > 0) return true;
    active_ = false;
    guard_.clear();
    return holds == 0;
}

int NativePass::take(py::LineOffer* offer, std::string_view line) {
    NativePass& pass = *static_cast<Offer*>(offer)->pass;
    StdoutFeed& feed = pass.feed_;
    core::ByteBuffer& out = feed.text();
    const std::size_t start = out.size();
    core::LineOutcome outcome;
    try {
        outcome = pass.writer_->write_line(line, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    if (outcome == core::LineOutcome::written) {
        // print's two writes: the text, then its end.
        const std::size_t text_size = out.size() - start - 1;
        if (!feed.count_write(text_size, true) || !feed.count_write(1, true)) return -1;
        // Writing to the file may have run signal handlers.
        if (feed.take_wrote()) offer->stop = true;
    } else if (outcome != core::LineOutcome::rejected &&
               outcome != core::LineOutcome::not_utf8) {  // the reader drops such a line
        return 0;
    }
    if (++pass.lines_since_check_ >= kLinesBetweenChecks) offer->stop = true;
    return 1;
}

int NativePass::before_python(py::LineOffer* offer) {
    return static_cast<Offer*>(offer)->pass->feed_.hand_on() ? 0 : -1;
}

PassEnd NativePass::finish(PassEnd end) {
    // Whatever the loop still holds goes to the file before anything else can write there;
    // an error already raised stays the one raised.
    if (end == PassEnd::error) {
        PendingError error = PendingError::fetch();
        if (!feed_.hand_on()) PyErr_Clear();
        error.restore();
        return end;
    }
    return feed_.hand_on() ? end : PassEnd::error;
}

bool NativePass::between_steps() {
    // Signal handlers run here, as between two events of the host's loop, once the text held
    // is in the file; then whatever Python code ran is looked at.
    return feed_.hand_on() && PyErr_CheckSignals() == 0 && check_again();
}

PassEnd NativePass::run(Ref& record) {
    ConsoleState& st = *ctx_.state;
    while (true) {
        PyObject* found = nullptr;
        lines_since_check_ = 0;
        feed_.take_wrote();  // the text handed on between steps was looked at already
        const py::StepEnd end = st.source_api->step(events_, offer_, &found);
        switch (end) {
            case py::StepEnd::record:
                record = Ref::steal(found);
                return finish(PassEnd::record);
            case py::StepEnd::end:
                return finish(PassEnd::end);
            case py::StepEnd::error:
                return finish(PassEnd::error);
            case py::StepEnd::paused:
                break;
        }
        if (!between_steps()) return PassEnd::error;
        if (!active_) return PassEnd::host;
    }
}

}  // namespace nerit::console
