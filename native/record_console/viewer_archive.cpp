// Report-archive input: recognising an archive, unpacking its event log safely, removing the copy.
#include <string_view>

#include "record_console/host_calls.hpp"
#include "record_console/viewer.hpp"
#include "record_console/pending_error.hpp"

namespace nerit::console {

namespace {

using py::Ref;

// Raises the tarfile error class `error_name` built from `args`.
void raise_tar_error(const Context& ctx, PyObject* error_name,
                     std::initializer_list<PyObject*> args) {
    Ref error_class = global_attr(ctx, ctx.state->g_tarfile.get(), error_name);
    if (!error_class) return;
    Ref error = call(error_class.get(), args);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// True when some '/'-separated component of `name` is "..".
bool climbs_out(std::string_view name) {
    while (true) {
        const auto slash = name.find('/');
        if (name.substr(0, slash) == "..") return true;
        if (slash == std::string_view::npos) return false;
        name.remove_prefix(slash + 1);
    }
}

// Refuses, with one of tarfile's extraction-filter errors, a member that is not a plain file
// inside the destination: an absolute name, a name that climbs out with "..", or any member
// that is not a regular file (link, directory, device, fifo). The data filter applied while
// extracting checks again; this check gives the clearer message first.
bool check_member(const Context& ctx, PyObject* member, PyObject* temp_dir) {
    const ConsoleState& st = *ctx.state;
    Ref name = py::getattr(member, st.a_name.get());
    if (!name) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) return false;
    const std::string_view text(utf8, static_cast<size_t>(size));
    if (text.starts_with('/')) {
        raise_tar_error(ctx, st.a_absolute_path_error.get(), {member});
        return false;
    }
    if (climbs_out(text)) {
        Ref target = Ref::steal(PyNumber_TrueDivide(temp_dir, name.get()));
        Ref target_text = target ? Ref::steal(PyObject_Str(target.get())) : Ref();
        if (target_text) {
            raise_tar_error(ctx, st.a_outside_destination_error.get(), {member, target_text.get()});
        }
        return false;
    }
    Ref regular = call_method(member, st.a_isreg.get());
    if (!regular) return false;
    const int is_regular = PyObject_IsTrue(regular.get());
    if (is_regular < 0) return false;
    if (!is_regular) raise_tar_error(ctx, st.a_special_file_error.get(), {member});
    return is_regular != 0;
}

// Extracts the event log named after the archive's first member and points the viewer at it.
bool extract_event_log(const Context& ctx, PyObject* self, PyObject* archive, PyObject* temp_dir) {
    const ConsoleState& st = *ctx.state;
    Ref members = Ref::steal(PyObject_GetIter(archive));
    if (!members) return false;
    Ref first = Ref::steal(PyIter_Next(members.get()));
    if (!first) return !PyErr_Occurred();  // an empty archive: the path stays as it was
    Ref first_name = py::getattr(first.get(), st.a_name.get());
    if (!first_name) return false;
    Ref member_name = Ref::steal(PyNumber_Add(first_name.get(), st.s_log_path.get()));
    if (!member_name) return false;
    Ref member = call_method(archive, st.a_getmember.get(), {member_name.get()});
    if (!member || !check_member(ctx, member.get(), temp_dir)) return false;
    Ref extract = py::getattr(archive, st.a_extract.get());
    if (!extract) return false;
    Ref kwnames =
        Ref::steal(PyTuple_Pack(3, st.a_member.get(), st.a_path.get(), st.a_filter.get()));
    if (!kwnames ||
        !call(extract.get(), {member.get(), temp_dir, st.s_data_filter.get()}, kwnames.get())) {
        return false;
    }
    Ref listing = call_method(temp_dir, st.a_iterdir.get());
    Ref entries = listing ? Ref::steal(PyObject_GetIter(listing.get())) : Ref();
    if (!entries) return false;
    Ref top = Ref::steal(PyIter_Next(entries.get()));
    if (!top) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return false;
    }
    Ref path = Ref::steal(PyNumber_TrueDivide(temp_dir, top.get()));
    for (PyObject* part :
         {st.s_vantor.get(), st.s_log.get(), st.s_nerit.get(), st.s_events.get()}) {
        if (!path) return false;
        path = Ref::steal(PyNumber_TrueDivide(path.get(), part));
    }
    return path && PyObject_SetAttr(self, st.f_file_path.get(), path.get()) == 0;
}

// Opens the archive, extracts, and closes the archive on every way out.
bool unpack(const Context& ctx, PyObject* self, PyObject* temp_dir) {
    const ConsoleState& st = *ctx.state;
    Ref file_path = py::getattr(self, st.f_file_path.get());
    if (!file_path) return false;
    Ref open = global_attr(ctx, st.g_tarfile.get(), st.a_open.get());
    if (!open) return false;
    Ref archive = call(open.get(), {file_path.get(), st.s_read_mode.get()});
    if (!archive) return false;
    if (extract_event_log(ctx, self, archive.get(), temp_dir)) {
        return static_cast<bool>(call_method(archive.get(), st.a_close.get()));
    }
    PendingError error = PendingError::fetch();
    {
        HandlingScope handling(error.value());
        if (!call_method(archive.get(), st.a_close.get())) return false;
    }
    error.restore();
    return false;
}

}  // namespace

PyObject* viewer_is_path_archive(PyObject* self, void*) {
    Context ctx;
    if (!context_of(self, ctx)) return nullptr;
    Ref file_path = py::getattr(self, ctx.state->f_file_path.get());
    Ref suffix = file_path ? py::getattr(file_path.get(), ctx.state->a_suffix.get()) : Ref();
    if (!suffix) return nullptr;
    const int found = PySequence_Contains(ctx.state->archive_suffixes.get(), suffix.get());
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

PyObject* viewer_extract_events_from_archive(PyObject* self, PyObject*) {
    Context ctx;
    if (!context_of(self, ctx)) return nullptr;
    const ConsoleState& st = *ctx.state;
    Ref temp_dir = py::getattr(self, st.f_temp_dir.get());
    if (!temp_dir) return nullptr;
    // Owner-only: the directory receives a copy of the security log.
    Ref mkdir = py::getattr(temp_dir.get(), st.a_mkdir.get());
    Ref mode = Ref::steal(PyLong_FromLong(0700));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, st.a_mode.get()));
    if (!mkdir || !mode || !kwnames || !call(mkdir.get(), {mode.get()}, kwnames.get())) {
        return nullptr;  // not created by us (it may exist already): nothing to remove
    }
    if (unpack(ctx, self, temp_dir.get())) return py::none();
    discard_temp_dir_after_failure(self, ctx);
    return nullptr;
}

PyObject* viewer_clean_temp_files(PyObject* self, PyObject*) {
    Context ctx;
    if (!context_of(self, ctx)) return nullptr;
    Ref temp_dir = py::getattr(self, ctx.state->f_temp_dir.get());
    if (!temp_dir) return nullptr;
    if (temp_dir.is(Py_None)) return py::none();
    Ref rmtree = global_attr(ctx, ctx.state->g_shutil.get(), ctx.state->a_rmtree.get());
    if (!rmtree || !call(rmtree.get(), {temp_dir.get()})) return nullptr;
    return py::none();
}

}  // namespace nerit::console
