// Building a viewer from the option record: input path, archive unpacking, iterator, formatter.
#include "record_console/host_calls.hpp"
#include "record_console/viewer.hpp"
#include "record_console/pending_error.hpp"

namespace nerit::console {

namespace {

using py::Ref;

// Copies option `option` of the record into the viewer field `field`.
bool copy_option(PyObject* self, PyObject* options, PyObject* option, PyObject* field) {
    Ref value = py::getattr(options, option);
    return value && PyObject_SetAttr(self, field, value.get()) == 0;
}

// 1 when the option is set (true), 0 when empty, -1 on error; keeps the value in `value`.
int option_is_set(PyObject* options, PyObject* option, Ref& value) {
    value = py::getattr(options, option);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// ISO date text (YYYY-MM-DD) of today minus `days_back` days; `days_back` may be null for 0.
Ref since_date_text(const Context& ctx, PyObject* days_back) {
    const ConsoleState& st = *ctx.state;
    Ref today = global_attr(ctx, st.g_date.get(), st.a_today.get());
    if (!today) return {};
    Ref date = call(today.get(), {});
    if (!date) return {};
    if (days_back != nullptr) {
        PyObject* timedelta = global(ctx, st.g_timedelta.get());
        if (timedelta == nullptr) return {};
        Ref kwnames = Ref::steal(PyTuple_Pack(1, st.a_days.get()));
        if (!kwnames) return {};
        Ref delta = call(timedelta, {days_back}, kwnames.get());
        if (!delta) return {};
        date = Ref::steal(PyNumber_Subtract(date.get(), delta.get()));
        if (!date) return {};
    }
    return call_method(date.get(), st.a_isoformat.get());
}

// A time-range iterator on the file from the date `since_date`, with no end date.
Ref range_from(const Context& ctx, PyObject* file_path, PyObject* since_date) {
    PyObject* iterator_class = global(ctx, ctx.state->g_range_iterator.get());
    if (iterator_class == nullptr) return {};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, ctx.state->a_date_since.get()));
    if (!kwnames) return {};
    return call(iterator_class, {file_path, since_date}, kwnames.get());
}

// The iterator of the first rule that applies to the option record.
Ref choose_iterator(const Context& ctx, PyObject* self, PyObject* options) {
    const ConsoleState& st = *ctx.state;
    Ref file_path = py::getattr(self, st.f_file_path.get());
    if (!file_path) return {};
    Ref since, until, value;
    const int has_since = option_is_set(options, st.o_since.get(), since);
    if (has_since < 0) return {};
    const int has_until = option_is_set(options, st.o_until.get(), until);
    if (has_until < 0) return {};
    if (has_since || has_until) {
        PyObject* iterator_class = global(ctx, st.g_range_iterator.get());
        if (iterator_class == nullptr) return {};
        return call(iterator_class, {file_path.get(), since.get(), until.get()});
    }
    int set = option_is_set(options, st.o_days_back.get(), value);
    if (set < 0) return {};
    if (set) {
        Ref since_date = since_date_text(ctx, value.get());
        return since_date ? range_from(ctx, file_path.get(), since_date.get()) : Ref();
    }
    set = option_is_set(options, st.o_today.get(), value);
    if (set < 0) return {};
    if (!set) {
        set = option_is_set(options, st.o_all.get(), value);
        if (set < 0) return {};
        if (set) {
            PyObject* iterator_class = global(ctx, st.g_all_iterator.get());
            return iterator_class ? call(iterator_class, {file_path.get()}) : Ref();
        }
        set = option_is_set(options, st.o_count.get(), value);
        if (set < 0) return {};
        if (set) {
            PyObject* iterator_class = global(ctx, st.g_recent_iterator.get());
            return iterator_class ? call(iterator_class, {file_path.get(), value.get()}) : Ref();
        }
    }
    // Today's events: asked for, or nothing else chosen.
    Ref since_date = since_date_text(ctx, nullptr);
    return since_date ? range_from(ctx, file_path.get(), since_date.get()) : Ref();
}

Ref make_formatter(const Context& ctx, PyObject* options) {
    const ConsoleState& st = *ctx.state;
    Ref expression = py::getattr(options, st.o_format.get());
    if (!expression) return {};
    Ref detailed = py::getattr(options, st.o_more_info.get());
    if (!detailed) return {};
    Ref raw = py::getattr(options, st.o_raw.get());
    if (!raw) return {};
    Ref no_color = py::getattr(options, st.o_nocolor.get());
    if (!no_color) return {};
    Ref iso_date = py::getattr(options, st.o_iso_date.get());
    if (!iso_date) return {};
    PyObject* formatter_class = global(ctx, st.g_formatter.get());
    if (formatter_class == nullptr) return {};
    Ref kwnames =
        Ref::steal(PyTuple_Pack(5, st.k_format_expression.get(), st.k_is_detailed.get(),
                                st.k_is_raw.get(), st.k_no_color.get(), st.k_use_iso_date.get()));
    if (!kwnames) return {};
    return call(formatter_class,
                {expression.get(), detailed.get(), raw.get(), no_color.get(), iso_date.get()},
                kwnames.get());
}

// "/tmp" / ("tmp" + str(time.time())): the directory does not exist yet.
Ref temp_dir_path(const Context& ctx) {
    const ConsoleState& st = *ctx.state;
    Ref clock = global_attr(ctx, st.g_time.get(), st.a_time.get());
    if (!clock) return {};
    Ref now = call(clock.get(), {});
    if (!now) return {};
    Ref now_text = Ref::steal(PyObject_Str(now.get()));
    if (!now_text) return {};
    Ref name = Ref::steal(PyUnicode_Concat(st.s_tmp_prefix.get(), now_text.get()));
    if (!name) return {};
    PyObject* path_class = global(ctx, st.g_path.get());
    if (path_class == nullptr) return {};
    Ref root = call(path_class, {st.s_tmp_root.get()});
    return root ? Ref::steal(PyNumber_TrueDivide(root.get(), name.get())) : Ref();
}

// Steps after the input is in place: the follow flag, the iterator, its filters, the formatter.
bool finish_construction(const Context& ctx, PyObject* self, PyObject* options) {
    const ConsoleState& st = *ctx.state;
    if (!copy_option(self, options, st.o_follow.get(), st.f_follow.get())) return false;
    Ref iterator = choose_iterator(ctx, self, options);
    if (!iterator || PyObject_SetAttr(self, st.f_iterator.get(), iterator.get()) < 0) return false;
    if (!call_method(self, st.m_setup_filters.get())) return false;
    Ref formatter = make_formatter(ctx, options);
    return formatter && PyObject_SetAttr(self, st.f_formatter.get(), formatter.get()) == 0;
}

bool construct(const Context& ctx, PyObject* self, PyObject* options) {
    const ConsoleState& st = *ctx.state;
    Ref watch_file = py::getattr(options, st.o_watch_file.get());
    if (!watch_file) return false;
    PyObject* path_class = global(ctx, st.g_path.get());
    if (path_class == nullptr) return false;
    Ref file_path = call(path_class, {watch_file.get()});
    if (!file_path || PyObject_SetAttr(self, st.f_file_path.get(), file_path.get()) < 0) {
        return false;
    }
    if (!copy_option(self, options, st.o_priority.get(), st.f_priority_filter.get()) ||
        !copy_option(self, options, st.o_source.get(), st.f_source_filter.get()) ||
        PyObject_SetAttr(self, st.f_temp_dir.get(), Py_None) < 0) {
        return false;
    }
    Ref is_archive = py::getattr(self, st.m_is_path_archive.get());
    if (!is_archive) return false;
    const int archive = PyObject_IsTrue(is_archive.get());
    if (archive < 0) return false;
    if (archive) {
        Ref temp_dir = temp_dir_path(ctx);
        if (!temp_dir || PyObject_SetAttr(self, st.f_temp_dir.get(), temp_dir.get()) < 0) {
            return false;
        }
        // Unpacking removes its directory itself when it fails after creating it.
        if (!call_method(self, st.m_extract.get())) return false;
    }
    if (finish_construction(ctx, self, options)) return true;
    // The directory holds a copy of the security log: never leave it behind a failed start.
    if (archive) discard_temp_dir_after_failure(self, ctx);
    return false;
}

}  // namespace

void discard_temp_dir_after_failure(PyObject* self, const Context& ctx) {
    PendingError error = PendingError::fetch();
    {
        HandlingScope handling(error.value());
        if (!call_method(self, ctx.state->m_clean_temp_files.get())) {
            // Keep the original error; say on it that the copy could not be removed.
            PendingError removal = PendingError::fetch();
            Ref temp_dir = py::getattr(self, ctx.state->f_temp_dir.get());
            Ref note = Ref::steal(PyUnicode_FromFormat(
                "the temporary directory '%S' was not removed: %S",
                temp_dir ? temp_dir.get() : Py_None, removal.value() ? removal.value() : Py_None));
            if (!temp_dir) PyErr_Clear();
            if (note && error.value() != nullptr) {
                call_method(error.value(), ctx.state->a_add_note.get(), {note.get()});
            }
            PyErr_Clear();
        }
    }
    error.restore();
}

int viewer_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {const_cast<char*>("args"), nullptr};
    PyObject* options = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:NeritEventViewer", keywords, &options)) {
        return -1;
    }
    Context ctx;
    if (!context_of(self, ctx)) return -1;
    return construct(ctx, self, options) ? 0 : -1;
}

PyObject* viewer_setup_filters(PyObject* self, PyObject*) {
    Context ctx;
    if (!context_of(self, ctx)) return nullptr;
    const ConsoleState& st = *ctx.state;
    const std::pair<PyObject*, PyObject*> filters[] = {
        {st.f_priority_filter.get(), st.a_set_priority_filter.get()},
        {st.f_source_filter.get(), st.a_set_source_filter.get()}};
    for (const auto& [field, setter] : filters) {
        Ref value = py::getattr(self, field);
        if (!value) return nullptr;
        const int set = PyObject_IsTrue(value.get());
        if (set < 0) return nullptr;
        if (!set) continue;  // an empty filter leaves the iterator's own in force
        Ref iterator = py::getattr(self, st.f_iterator.get());
        if (!iterator || !call_method(iterator.get(), setter, {value.get()})) return nullptr;
    }
    return py::none();
}

}  // namespace nerit::console
