// The show loop and follow mode: drawing, escaping, formatting and printing events; the handlers
// that turn errors into messages and exit statuses; the final removal of the temporary directory.
#include "py/guard.hpp"
#include "record_console/event_escape.hpp"
#include "record_console/host_calls.hpp"
#include "record_console/native_pass.hpp"
#include "record_console/print_line.hpp"
#include "record_console/viewer.hpp"
#include "record_console/pending_error.hpp"

namespace nerit::console {

namespace {

using py::Ref;

// self.__formatter, looked up for every event as the loop's Python code would, but read again
// only when the viewer's dict or class changed since the last event.
class FormatterLookup {
  public:
    Ref get(const Context& ctx, PyObject* self) {
        if (guard_.holds_for(self)) return formatter_;
        formatter_.reset();
        guard_.restart();
        PyObject* name = ctx.state->f_formatter.get();
        Ref found = py::getattr(self, name);
        if (!found) return found;
        // Kept only when the lookup was a plain read of the instance dict.
        PyObject* dict = py::Guard::instance_dict_of(self);
        if (dict != nullptr && PyDict_CheckExact(dict) &&
            py::compat::find_in_class(Py_TYPE(self), name) == nullptr &&
            PyDict_GetItemWithError(dict, name) == found.get() &&
            guard_.add_instance(ctx.state->watchers, self) && guard_.arm()) {
            formatter_ = found;
        }
        PyErr_Clear();
        return found;
    }

  private:
    py::Guard guard_;
    Ref formatter_;
};

// Draws, escapes, formats and prints one event the host's way; `event` is what the iterator
// yielded. False with an error set when formatting or printing fails.
bool print_event(const Context& ctx, PyObject* self, FormatterLookup& formatters, Ref event) {
    Ref safe_event = escape_event(event.get());
    if (!safe_event) return false;
    event.reset();
    Ref formatter = formatters.get(ctx, self);
    if (!formatter) return false;
    Ref text = call_method(formatter.get(), ctx.state->a_format_event.get(), {safe_event.get()});
    return text && print_line(ctx, text.get());
}

// Prints every event that `source` yields, each as soon as it is drawn. False with an error set
// when drawing, formatting or printing fails. While the proof holds, lines go through the native
// loop; an event it declines is printed the host's way, and the proof is checked again.
bool print_events(const Context& ctx, PyObject* self, PyObject* source) {
    Ref events = Ref::steal(PyObject_GetIter(source));
    if (!events) return false;
    FormatterLookup formatters;
    NativePass pass;
    if (py::fast_paths_enabled(ctx.module, ctx.state->fast_paths_name.get())) {
        Ref formatter = formatters.get(ctx, self);
        if (!formatter || (!pass.begin(ctx, self, events.get(), formatter.get()) &&
                           PyErr_Occurred())) {
            return false;
        }
    }
    ctx.state->stdout_pending.may_flush = false;  // only before anything of the show is printed
    while (true) {
        // A loop that never returns to the interpreter must still notice Ctrl-C.
        if (PyErr_CheckSignals() < 0) return false;
        if (pass.active()) {
            Ref record;
            switch (pass.run(record)) {
                case PassEnd::end:
                    return true;
                case PassEnd::error:
                    return false;
                case PassEnd::record:
                    if (!print_event(ctx, self, formatters, std::move(record)) ||
                        !pass.check_again()) {
                        return false;
                    }
                    continue;
                case PassEnd::host:
                    break;
            }
        }
        Ref event = Ref::steal(PyIter_Next(events.get()));
        if (!event) return !PyErr_Occurred();
        if (!print_event(ctx, self, formatters, std::move(event))) return false;
    }
}

// 1 when the viewer's follow flag is set, 0 when not, -1 on error.
int follow_flag(const Context& ctx, PyObject* self) {
    Ref follow = py::getattr(self, ctx.state->f_follow.get());
    return follow ? PyObject_IsTrue(follow.get()) : -1;
}

bool first_pass_and_follow(const Context& ctx, PyObject* self) {
    Ref iterator = py::getattr(self, ctx.state->f_iterator.get());
    if (!iterator || !print_events(ctx, self, iterator.get())) return false;
    const int follow = follow_flag(ctx, self);
    if (follow <= 0) return follow == 0;
    return static_cast<bool>(call_method(self, ctx.state->m_follow_events.get()));
}

// The message of a handled error kind, or an empty Ref (no error set) for the other kinds;
// an empty Ref with an error set when looking the handler up failed.
Ref handled_message(const Context& ctx, const PendingError& error) {
    const ConsoleState& st = *ctx.state;
    const char* message_id = nullptr;
    bool with_text = false;
    if (error.matches(PyExc_FileNotFoundError)) {
        message_id = "No such file";
    } else {
        Ref read_error = global_attr(ctx, st.g_tarfile.get(), st.a_read_error.get());
        if (!read_error) return {};
        if (error.matches(read_error.get())) {
            message_id = "Unpacking failed: Unsupported format or corrupted file";
        } else if (error.matches(PyExc_ValueError)) {
            message_id = "Invalid date format";
            with_text = true;
        } else {
            return {};
        }
    }
    PyObject* translate = global(ctx, st.g_translate.get());
    if (translate == nullptr) return {};
    Ref id = Ref::steal(PyUnicode_FromString(message_id));
    Ref message = id ? call(translate, {id.get()}) : Ref();
    if (!message || !with_text) return message;
    Ref separator = Ref::steal(PyUnicode_FromString(": "));
    Ref error_text = Ref::steal(PyObject_Str(error.value()));
    if (!separator || !error_text) return {};
    Ref head = Ref::steal(PyNumber_Add(message.get(), separator.get()));
    return head ? Ref::steal(PyNumber_Add(head.get(), error_text.get())) : Ref();
}

// Handlers of the body: true when the error was handled and the body counts as finished (only
// when a replaced sys.exit returned); false with the resulting error set otherwise.
bool handle_body_error(const Context& ctx) {
    PendingError error = PendingError::fetch();
    {
        HandlingScope handling(error.value());
        Ref message = handled_message(ctx, error);
        if (message) return print_line(ctx, message.get()) && call_exit(ctx, 1);
        if (PyErr_Occurred()) return false;
    }
    error.restore();
    return false;
}

// The final step: removes the temporary directory; a PermissionError prints its message and
// exits with status 1, replacing whatever was pending.
bool clean_up(const Context& ctx, PyObject* self) {
    const ConsoleState& st = *ctx.state;
    if (call_method(self, st.m_clean_temp_files.get())) return true;
    if (!PyErr_ExceptionMatches(PyExc_PermissionError)) return false;
    PendingError denied = PendingError::fetch();
    HandlingScope handling(denied.value());
    Ref temp_dir = py::getattr(self, st.f_temp_dir.get());
    if (!temp_dir) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Error: The temp folder '%S' was not removed. Permission denied.", temp_dir.get()));
    return message && print_line(ctx, message.get()) && call_exit(ctx, 1);
}

}  // namespace

PyObject* viewer_show_events(PyObject* self, PyObject*) {
    Context ctx;
    if (!context_of(self, ctx)) return nullptr;
    ctx.state->stdout_pending.may_flush = true;
    if (!first_pass_and_follow(ctx, self)) handle_body_error(ctx);
    // Code outside the viewer may write to standard output before it shows again.
    ctx.state->stdout_pending.forget();
    // Whatever is pending (an exit, an unhandled error) waits while the directory is removed.
    PendingError pending = PendingError::fetch();
    {
        HandlingScope handling(pending.value());
        if (!clean_up(ctx, self)) return nullptr;
    }
    if (pending) {
        pending.restore();
        return nullptr;
    }
    return py::none();
}

PyObject* viewer_follow_events(PyObject* self, PyObject*) {
    Context ctx;
    if (!context_of(self, ctx)) return nullptr;
    const ConsoleState& st = *ctx.state;
    PyObject* iterator_class = global(ctx, st.g_new_iterator.get());
    if (iterator_class == nullptr) return nullptr;
    Ref file_path = py::getattr(self, st.f_file_path.get());
    if (!file_path) return nullptr;
    Ref iterator = call(iterator_class, {file_path.get()});
    if (!iterator || PyObject_SetAttr(self, st.f_iterator.get(), iterator.get()) < 0) {
        return nullptr;
    }
    iterator.reset();  // the viewer's field owns it; a pass may find it replaced
    if (!call_method(self, st.m_setup_filters.get())) return nullptr;
    int follow;
    while ((follow = follow_flag(ctx, self)) > 0) {
        Ref current = py::getattr(self, st.f_iterator.get());
        if (current && print_events(ctx, self, current.get())) continue;
        if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return nullptr;
        PendingError interrupt = PendingError::fetch();
        HandlingScope handling(interrupt.value());
        if (!call_exit(ctx, 0)) return nullptr;
    }
    return follow < 0 ? nullptr : py::none();
}

}  // namespace nerit::console
