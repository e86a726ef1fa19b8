// Report-archive input: recognising an archive, unpacking its event log safely, removing the copy.
#include <climits>

#include "record_console/host_calls.hpp"
#include "record_console/viewer.hpp"
#include "record_console/pending_error.hpp"

namespace nerit::console {

namespace {

using py::Ref;

// Free space left untouched on the file system of the temporary directory: unpacking a log must
// not starve other programs of room for their own temporary files and logs at the very moment
// it runs. 64 MiB covers that on any machine that reads an event log, and it is small against
// any disk the log could be unpacked to.
constexpr long long kFreeSpaceMargin = 64LL << 20;

// hasattr(object, name): 1 or 0, -1 with an error set when looking up failed otherwise.
int has_attribute(PyObject* object, PyObject* name) {
    if (py::getattr(object, name)) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// The module whose classes refuse a member: the engine's tarfile where it has extraction
// filters (`filters` set), else the package's own refusals with the same names and texts.
Ref refusal_module(const Context& ctx, bool& filters) {
    PyObject* tarfile = global(ctx, ctx.state->g_tarfile.get());
    if (tarfile == nullptr) return {};
    const int found = has_attribute(tarfile, ctx.state->a_data_filter.get());
    if (found < 0) return {};
    filters = found == 1;
    if (filters) return Ref::borrow(tarfile);
    return Ref::steal(PyImport_Import(ctx.state->s_refusals_module.get()));
}

// Raises the refusal class `error_name` of `refusals` built from `args`.
void raise_refusal(PyObject* refusals, PyObject* error_name,
                   std::initializer_list<PyObject*> args) {
    Ref error_class = py::getattr(refusals, error_name);
    if (!error_class) return;
    Ref error = call(error_class.get(), args);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// 1 when some '/'-separated component of `name` is "..", 0 when none is, -1 on error. Works on
// the str itself: a name read from the archive may hold undecodable bytes as surrogates.
int climbs_out(PyObject* name) {
    Ref slash = Ref::steal(PyUnicode_FromOrdinal('/'));
    Ref components = slash ? Ref::steal(PyUnicode_Split(name, slash.get(), -1)) : Ref();
    if (!components) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(components.get()); ++i) {
        if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(components.get(), i), "..") == 0) {
            return 1;
        }
    }
    return 0;
}

// Refuses, with the extraction-filter errors of `refusals`, a member that is not a plain file
// inside the destination: an absolute name, a name that climbs out with "..", or any member
// that is not a regular file (link, directory, device, fifo). Where tarfile has filters, the
// data filter applied while extracting checks again; this check gives the clearer message first.
bool check_member(const Context& ctx, PyObject* member, PyObject* temp_dir, PyObject* refusals) {
    const ConsoleState& st = *ctx.state;
    Ref name = py::getattr(member, st.a_name.get());
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "a member's name must be str, not %.200s",
                     Py_TYPE(name.get())->tp_name);
        return false;
    }
    if (PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '/') {
        raise_refusal(refusals, st.a_absolute_path_error.get(), {member});
        return false;
    }
    const int outside = climbs_out(name.get());
    if (outside < 0) return false;
    if (outside) {
        // Where it would land, as tarfile names it: the real path, ".." and links resolved.
        Ref joined = Ref::steal(PyNumber_TrueDivide(temp_dir, name.get()));
        Ref target = joined ? call_method(joined.get(), st.a_resolve.get()) : Ref();
        Ref target_text = target ? Ref::steal(PyObject_Str(target.get())) : Ref();
        if (target_text) {
            raise_refusal(refusals, st.a_outside_destination_error.get(),
                          {member, target_text.get()});
        }
        return false;
    }
    Ref regular = call_method(member, st.a_isreg.get());
    if (!regular) return false;
    const int is_regular = PyObject_IsTrue(regular.get());
    if (is_regular < 0) return false;
    if (!is_regular) raise_refusal(refusals, st.a_special_file_error.get(), {member});
    return is_regular != 0;
}

// `value` as a long long; false with an error set when it is no integer. A value beyond the
// range saturates, which every comparison below treats as too large.
bool as_count(PyObject* value, long long& out) {
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) out = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return true;
}

// The bytes extracting a member writes are its declared size, except for a sparse member, whose
// map places its data pieces: refuses a map whose pieces add up to more than the declared size
// or reach past it. Sets `reason` when refused.
bool check_sparse_map(const ConsoleState& st, PyObject* member, long long size, Ref& reason) {
    Ref map = py::getattr(member, st.a_sparse.get());
    if (!map || map.is(Py_None)) return static_cast<bool>(map);
    Ref pieces = Ref::steal(PyObject_GetIter(map.get()));
    if (!pieces) return false;
    long long written = 0;
    while (Ref piece = Ref::steal(PyIter_Next(pieces.get()))) {
        Ref fields = Ref::steal(PySequence_Fast(piece.get(), "a sparse map holds pairs"));
        if (!fields) return false;
        if (PySequence_Fast_GET_SIZE(fields.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "a sparse map holds pairs");
            return false;
        }
        long long offset = 0;
        long long length = 0;
        if (!as_count(PySequence_Fast_GET_ITEM(fields.get(), 0), offset) ||
            !as_count(PySequence_Fast_GET_ITEM(fields.get(), 1), length)) {
            return false;
        }
        const bool inside = offset >= 0 && length >= 0 && offset <= size &&
                            length <= size - offset && length <= size - written;
        if (!inside) {
            reason = Ref::steal(PyUnicode_FromFormat(
                "holds data past its declared size of %lld bytes", size));
            return static_cast<bool>(reason);
        }
        written += length;
    }
    return !PyErr_Occurred();
}

// Refuses, with MemberTooLargeError of the package's refusals, a member that would write more
// than the free space of the temporary directory's file system less the margin, or more than
// it declares. Extracting copies the declared size in small blocks, so nothing grows past it.
bool check_size(const Context& ctx, PyObject* member, PyObject* temp_dir, PyObject* ours) {
    const ConsoleState& st = *ctx.state;
    Ref declared = py::getattr(member, st.a_size.get());
    long long size = 0;
    if (!declared || !as_count(declared.get(), size)) return false;
    Ref reason;
    if (size < 0) {
        reason = Ref::steal(PyUnicode_FromFormat("declares a negative size (%lld bytes)", size));
    } else {
        Ref disk_usage = global_attr(ctx, st.g_shutil.get(), st.a_disk_usage.get());
        Ref usage = disk_usage ? call(disk_usage.get(), {temp_dir}) : Ref();
        Ref free_space = usage ? py::getattr(usage.get(), st.a_free.get()) : Ref();
        long long free_bytes = 0;
        if (!free_space || !as_count(free_space.get(), free_bytes)) return false;
        const long long room = free_bytes > kFreeSpaceMargin ? free_bytes - kFreeSpaceMargin : 0;
        if (size > room) {
            reason = Ref::steal(PyUnicode_FromFormat(
                "declares %lld bytes, more than the %lld bytes free for it in '%S' "
                "(free space less a margin of %lld MiB)",
                size, room, temp_dir, kFreeSpaceMargin >> 20));
        } else if (!check_sparse_map(st, member, size, reason)) {
            return false;
        }
    }
    if (!reason) return !PyErr_Occurred();
    raise_refusal(ours, st.a_member_too_large_error.get(), {member, reason.get()});
    return false;
}

// archive.extract(member, path=temp_dir, ...): with the data filter where tarfile has it; else
// without the archive's owner, mode and time, so the copy is the reader's own plain file, as the
// data filter would leave it.
bool extract_member(const Context& ctx, PyObject* archive, PyObject* member, PyObject* temp_dir,
                    bool filters) {
    const ConsoleState& st = *ctx.state;
    Ref extract = py::getattr(archive, st.a_extract.get());
    if (!extract) return false;
    PyObject* option_name = filters ? st.a_filter.get() : st.a_set_attrs.get();
    PyObject* option_value = filters ? st.s_data_filter.get() : Py_False;
    Ref kwnames = Ref::steal(PyTuple_Pack(3, st.a_member.get(), st.a_path.get(), option_name));
    return kwnames &&
           call(extract.get(), {member, temp_dir, option_value}, kwnames.get());
}

// Extracts the event log named after the archive's first member and points the viewer at the
// file it was written to.
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
    if (!member) return false;
    bool filters = false;
    Ref refusals = refusal_module(ctx, filters);
    if (!refusals || !check_member(ctx, member.get(), temp_dir, refusals.get())) return false;
    Ref ours = filters ? Ref::steal(PyImport_Import(st.s_refusals_module.get())) : refusals;
    if (!ours || !check_size(ctx, member.get(), temp_dir, ours.get()) ||
        !extract_member(ctx, archive, member.get(), temp_dir, filters)) {
        return false;
    }
    // The member's own name, whatever the first entry looks like ("." or "D/sub").
    Ref name = py::getattr(member.get(), st.a_name.get());
    Ref path = name ? Ref::steal(PyNumber_TrueDivide(temp_dir, name.get())) : Ref();
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
