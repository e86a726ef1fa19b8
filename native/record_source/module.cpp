// Module initialisation of nerit_record_console.record_source: host imports, typing aliases,
// captured host functions and the five iterator classes.
#include "py/host.hpp"
#include "record_source/iterator_types.hpp"
#include "record_source/own_file.hpp"

namespace nerit::record_source {
namespace {

Ref import(const char* name) {
    return Ref::steal(PyImport_ImportModule(name));
}

bool add(PyObject* module, const char* name, const Ref& value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

// A data descriptor defined by `type` itself, or an empty Ref with an error set.
Ref type_member(const Ref& type, const char* name) {
    Ref dict = py::compat::type_dict(reinterpret_cast<PyTypeObject*>(type.get()));
    PyObject* found = dict ? PyDict_GetItemString(dict.get(), name) : nullptr;
    if (found == nullptr || Py_TYPE(found)->tp_descr_get == nullptr ||
        Py_TYPE(found)->tp_descr_set == nullptr) {
        PyErr_Format(PyExc_ImportError, "io type without the data descriptor %s", name);
        return Ref();
    }
    return Ref::borrow(found);
}

// The module's imports, bound under the names its code uses.
bool import_host(PyObject* module, ModuleState* st) {
    Ref json = import("json");
    Ref re = import("re");
    Ref time = import("time");
    Ref datetime_module = import("datetime");
    Ref pathlib = import("pathlib");
    Ref typing = import("typing");
    Ref dateutil_parser = import("dateutil.parser");
    Ref dateutil = import("dateutil");
    if (!json || !re || !time || !datetime_module || !pathlib || !typing || !dateutil_parser ||
        !dateutil) {
        return false;
    }
    if (!add(module, "json", json) || !add(module, "re", re) || !add(module, "time", time) ||
        !add(module, "datetime", py::getattr(datetime_module.get(), "datetime")) ||
        !add(module, "Path", py::getattr(pathlib.get(), "Path"))) {
        return false;
    }
    for (const char* name : {"Dict", "Union", "List"}) {
        if (!add(module, name, py::getattr(typing.get(), name))) return false;
    }
    if (!add(module, "dateutil", dateutil)) return false;

    st->json_loads = py::getattr(json.get(), "loads");
    st->isoparse = py::getattr(dateutil_parser.get(), "isoparse");
    st->re_compile = py::getattr(re.get(), "compile");
    st->posix_path_type = py::getattr(pathlib.get(), "PosixPath");
    st->datetime_api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    Ref io = import("io");
    Ref codecs = import("codecs");
    if (!io || !codecs) return false;
    st->text_io_wrapper_type = py::getattr(io.get(), "TextIOWrapper");
    st->buffered_reader_type = py::getattr(io.get(), "BufferedReader");
    st->file_io_type = py::getattr(io.get(), "FileIO");
    st->codecs_lookup = py::getattr(codecs.get(), "lookup");
    if (!st->text_io_wrapper_type || !st->buffered_reader_type) return false;
    st->text_buffer = type_member(st->text_io_wrapper_type, "buffer");
    st->text_encoding = type_member(st->text_io_wrapper_type, "encoding");
    st->text_errors = type_member(st->text_io_wrapper_type, "errors");
    st->buffered_raw = type_member(st->buffered_reader_type, "raw");
    st->buffered_closed = type_member(st->buffered_reader_type, "closed");
    st->tzinfo_keyword = Ref::steal(Py_BuildValue("(s)", "tzinfo"));
    return st->text_buffer && st->text_encoding && st->text_errors &&
           st->buffered_raw && st->buffered_closed && st->tzinfo_keyword && st->json_loads &&
           st->isoparse && st->re_compile && st->posix_path_type && st->datetime_api &&
           st->text_io_wrapper_type && st->buffered_reader_type && st->file_io_type &&
           st->codecs_lookup;
}

// NeritEvent = Dict[str, Union[str, Dict[str, Dict[str, str]]]]; NeritEvents = List[NeritEvent].
bool add_aliases(PyObject* module) {
    Ref dict_type = Ref::steal(PyObject_GetAttrString(module, "Dict"));
    Ref union_type = Ref::steal(PyObject_GetAttrString(module, "Union"));
    Ref list_type = Ref::steal(PyObject_GetAttrString(module, "List"));
    if (!dict_type || !union_type || !list_type) return false;
    PyObject* str = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    Ref pair = Ref::steal(PyTuple_Pack(2, str, str));
    if (!pair) return false;
    Ref fields = Ref::steal(PyObject_GetItem(dict_type.get(), pair.get()));
    if (!fields) return false;
    Ref by_source = Ref::steal(PyTuple_Pack(2, str, fields.get()));
    if (!by_source) return false;
    Ref message = Ref::steal(PyObject_GetItem(dict_type.get(), by_source.get()));
    if (!message) return false;
    Ref choices = Ref::steal(PyTuple_Pack(2, str, message.get()));
    if (!choices) return false;
    Ref value = Ref::steal(PyObject_GetItem(union_type.get(), choices.get()));
    if (!value) return false;
    Ref event_key = Ref::steal(PyTuple_Pack(2, str, value.get()));
    if (!event_key) return false;
    Ref event = Ref::steal(PyObject_GetItem(dict_type.get(), event_key.get()));
    if (!add(module, "NeritEvent", event)) return false;
    return add(module, "NeritEvents", Ref::steal(PyObject_GetItem(list_type.get(), event.get())));
}

bool add_classes(PyObject* module, ModuleState* st) {
    st->base_type = Ref::steal(make_base_type(module, st));
    if (!add(module, "NeritEventIterator", st->base_type)) return false;
    PyObject* base = st->base_type.get();
    Ref base_dict = py::compat::type_dict(reinterpret_cast<PyTypeObject*>(base));
    if (!base_dict) return false;
    st->native_filter_event =
        Ref::borrow(PyDict_GetItemWithError(base_dict.get(), st->names.filter_event.get()));
    st->native_filter_priority =
        Ref::borrow(PyDict_GetItemWithError(base_dict.get(), st->names.filter_priority.get()));
    st->native_filter_source =
        Ref::borrow(PyDict_GetItemWithError(base_dict.get(), st->names.filter_source.get()));
    if (!st->native_filter_event || !st->native_filter_priority || !st->native_filter_source) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "filter methods missing");
        return false;
    }
    st->all_type = Ref::steal(make_all_events_type(module, base));
    if (!add(module, "NeritAllEventsIterator", st->all_type)) return false;
    st->range_type = Ref::steal(make_time_range_type(module, base));
    if (!add(module, "NeritTimeRangeEventIterator", st->range_type)) return false;
    st->recent_type = Ref::steal(make_recent_type(module, base));
    if (!add(module, "NeritRecentEventIterator", st->recent_type)) return false;
    st->new_type = Ref::steal(make_new_events_type(module, base));
    return add(module, "NeritNewEventIterator", st->new_type);
}

int exec_module(PyObject* module) {
    ModuleState* st = StateSlot::create(module);
    if (st == nullptr) return -1;
    if (!st->names.intern_names() || !st->watchers.attach() || !import_host(module, st) ||
        !add_aliases(module) || !add_classes(module, st)) {
        return -1;
    }
    if (py::init_fast_paths_switch(module) < 0 || !publish_native_pass(module)) return -1;
    // Private and read when an iterator starts reading a file, so that tests can lower it.
    Ref limit = Ref::steal(PyLong_FromSize_t(kMaxLineLength));
    return add(module, "_max_line_length", limit) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

}  // namespace

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "nerit_record_console.record_source",
                          "Reading the event log: the event record, the iterator base with its "
                          "priority and source filters, and the iterators over all, recent, newly "
                          "appended and time-range events.",
                          StateSlot::kSize,
                          nullptr,
                          slots,
                          StateSlot::traverse,
                          StateSlot::clear,
                          StateSlot::free};

}  // namespace nerit::record_source

PyMODINIT_FUNC PyInit_record_source() {
    return PyModuleDef_Init(&nerit::record_source::module_def);
}
