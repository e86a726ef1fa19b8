// What the viewer's native print loop may ask of an iterator: whether its lines can be read and
// judged without Python code, with its filters as plain data, and one step of its __next__ that
// offers each selected line's bytes before decoding it.
#include "py/host.hpp"
#include "record_source/iterator_types.hpp"
#include "record_source/line_source.hpp"

namespace nerit::record_source {
namespace {

// The texts of an exact set or frozenset of exact str as UTF-8; false (no error) otherwise.
bool utf8_members(PyObject* set, std::vector<std::string>& out) {
    if (!PySet_CheckExact(set) && !PyFrozenSet_CheckExact(set)) return false;
    Ref items = Ref::steal(PyObject_GetIter(set));
    if (!items) return false;
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        Py_ssize_t size = 0;
        const char* text =
            PyUnicode_CheckExact(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &size) : nullptr;
        if (text == nullptr) {
            PyErr_Clear();
            return false;
        }
        out.emplace_back(text, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

using Step = PyObject* (*)(PyObject*, py::LineOffer*);

// The step of the reading class `self` is exactly an instance of, with its own __next__.
Step reading_step(PyObject* self, ModuleState* st) {
    PyTypeObject* type = Py_TYPE(self);
    void* next = PyType_GetSlot(type, Py_tp_iternext);
    if (type == reinterpret_cast<PyTypeObject*>(st->all_type.get()) &&
        next == reinterpret_cast<void*>(all_events_next)) {
        return all_events_step;
    }
    if (type == reinterpret_cast<PyTypeObject*>(st->range_type.get()) &&
        next == reinterpret_cast<void*>(range_next)) {
        return range_step;
    }
    if (type == reinterpret_cast<PyTypeObject*>(st->recent_type.get()) &&
        next == reinterpret_cast<void*>(recent_next)) {
        return recent_step;
    }
    if (type == reinterpret_cast<PyTypeObject*>(st->new_type.get()) &&
        next == reinterpret_cast<void*>(new_next)) {
        return new_step;
    }
    return nullptr;
}

// The filter sets exactly as the instance dict holds them: 1 read, 0 not plain sets of str.
int read_filters(PyObject* self, ModuleState* st, core::EventFilters& filters) {
    PyObject* dict = py::Guard::instance_dict_of(self);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return 0;
    PyObject* priorities = instance_entry(Py_TYPE(self), dict, st->names.priority_filter.get());
    PyObject* sources = instance_entry(Py_TYPE(self), dict, st->names.source_filter.get());
    if (priorities == nullptr || sources == nullptr) return 0;
    filters = core::EventFilters();
    return utf8_members(priorities, filters.priorities) && utf8_members(sources, filters.sources)
               ? 1
               : 0;
}

int filters_again(PyObject* self, core::EventFilters& filters) {
    PyObject* module = module_of(self);
    if (module == nullptr) {
        PyErr_Clear();
        return 0;
    }
    return read_filters(self, state_of_module(module), filters);
}

int prepare(PyObject* self, const py::Watchers& watchers, py::Guard& guard,
            core::EventFilters& filters) {
    PyObject* module = module_of(self);
    if (module == nullptr) {
        PyErr_Clear();
        return 0;
    }
    ModuleState* st = state_of_module(module);
    if (reading_step(self, st) == nullptr) return 0;
    HostCalls host;
    if (!host.load(self)) return -1;
    if (!host.fast || !host.loads_is_original || !host.native_filter_event ||
        !host.native_filter_priority || !host.native_filter_source) {
        return 0;
    }
    // The step's own lookups go through the iterator's cache, which the guard below covers too.
    if (read_filters(self, st, filters) == 0) return 0;
    PyObject* json = py::module_global(module, st->names.json.get());
    if (json == nullptr) {
        PyErr_Clear();
        return 0;
    }
    if (!guard.add_instance(watchers, self) || !guard.add_module(watchers, module) ||
        !guard.add_module(watchers, json)) {
        return 0;
    }
    if (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(st->range_type.get())) {
        const int ready = range_pass_ready(self, host, watchers, guard);
        if (ready <= 0) return ready;
    }
    if (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(st->recent_type.get())) {
        // A window of lines at known offsets: the host's decoder must be the module's own for
        // its lines to come as bytes.
        return recent_pass_ready(self, host);
    }
    LineSource source;
    if (!source.begin(self, host)) return -1;
    return source.reads_utf8() ? 1 : 0;
}

py::StepEnd step(PyObject* self, py::LineOffer& offer, PyObject** record) {
    *record = nullptr;
    offer.stop = false;
    offer.python_ran = false;
    PyObject* module = module_of(self);
    if (module == nullptr) return py::StepEnd::error;
    Step read = reading_step(self, state_of_module(module));
    if (read == nullptr) {
        PyErr_SetString(PyExc_SystemError, "not an iterator a native pass reads");
        return py::StepEnd::error;
    }
    *record = read(self, &offer);
    if (*record != nullptr) return py::StepEnd::record;
    if (PyErr_Occurred()) return py::StepEnd::error;
    return offer.stop ? py::StepEnd::paused : py::StepEnd::end;
}

py::SourcePassApi pass_api = {prepare, step, filters_again};

}  // namespace

bool publish_native_pass(PyObject* module) {
    return py::publish_pass_api(module, py::kSourcePassCapsule, &pass_api);
}

}  // namespace nerit::record_source
