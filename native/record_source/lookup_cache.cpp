// Per-call host look-ups of the iterators, served from the instance's cache while its guard
// holds.
#include "record_source/lookup_cache.hpp"

#include "py/host.hpp"
#include "record_source/decode_filter.hpp"
#include "record_source/iterator_object.hpp"
#include "record_source/state.hpp"

namespace nerit::record_source {
namespace {

// Keeps `calls` for later calls when every value in it is one that the guard covers: entries of
// the instance dict that the class does not define, and json.loads as the entry of a plain
// module's dict. False when something else is involved (the cache is then not used).
bool store(PyObject* self, LookupCache& cache, HostCalls& calls, PyObject* json) {
    ModuleState* st = calls.st;
    PyTypeObject* type = Py_TYPE(self);
    PyObject* dict = py::Guard::instance_dict_of(self);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return false;
    // json.loads on a plain module is its dict entry; ModuleType defines no such name.
    if (!PyModule_CheckExact(json)) return false;
    PyObject* json_dict = PyModule_GetDict(json);
    if (PyDict_GetItemWithError(json_dict, st->names.loads.get()) != calls.json_loads.get()) {
        PyErr_Clear();
        return false;
    }
    PyObject* file = instance_entry(type, dict, st->names.file.get());
    PyObject* priorities = instance_entry(type, dict, st->names.priority_filter.get());
    PyObject* sources = instance_entry(type, dict, st->names.source_filter.get());
    if (file == nullptr || priorities == nullptr || sources == nullptr) return false;
    py::Guard& guard = cache.guard;
    guard.restart();
    guard.add_instance(st->watchers, self);
    guard.add_module(st->watchers, calls.module);
    guard.add_module(st->watchers, json);
    if (!guard.arm()) return false;
    calls.file = Ref::borrow(file);
    calls.priority_filter = Ref::borrow(priorities);
    calls.source_filter = Ref::borrow(sources);
    calls.from_cache = true;
    calls.generation = ++cache.generation;
    cache.calls = calls;
    return true;
}

}  // namespace

PyObject* instance_entry(PyTypeObject* type, PyObject* dict, PyObject* name) {
    if (py::compat::find_in_class(type, name) != nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

void LookupCache::forget() {
    guard.restart();
    calls = HostCalls();
    dates_guard.restart();
    dates = DateLookups();
}

void LookupCache::clear() {
    forget();
    guard.clear();
    dates_guard.clear();
}

int LookupCache::traverse(visitproc visit, void* arg) const {
    for (const Ref* ref : {&calls.json_loads, &calls.file, &calls.priority_filter,
                           &calls.source_filter, &dates.pattern, &dates.isoparse, &dates.since,
                           &dates.until}) {
        Py_VISIT(ref->get());
    }
    if (const int visited = guard.traverse(visit, arg)) return visited;
    return dates_guard.traverse(visit, arg);
}

void HostCalls::load_filters_live(PyObject* self) {
    native_filter_event =
        py::resolves_to(self, st->names.filter_event.get(), st->native_filter_event.get());
    native_filter_priority =
        py::resolves_to(self, st->names.filter_priority.get(), st->native_filter_priority.get());
    native_filter_source =
        py::resolves_to(self, st->names.filter_source.get(), st->native_filter_source.get());
}

bool HostCalls::load(PyObject* self) {
    LookupCache& cache = as_iterator(self)->native->lookups;
    if (cache.matches(self)) {
        *this = cache.calls;
        return true;
    }
    cache.forget();
    *this = HostCalls();
    module = module_of(self);
    if (module == nullptr) return false;
    st = state_of_module(module);
    fast = py::fast_paths_enabled(module, st->names.fast_paths.get());
    Ref json = module_global(module, st->names.json.get());
    if (!json) return false;
    json_loads = py::getattr(json.get(), st->names.loads.get());
    if (!json_loads) return false;
    loads_is_original = json_loads.is(st->json_loads.get());
    load_filters_live(self);
    if (!store(self, cache, *this, json.get())) cache.clear();
    return true;
}

bool HostCalls::refresh(PyObject* self) {
    if (as_iterator(self)->native->lookups.vouches_for(self, *this)) return true;
    Ref kept_file = file;  // the line being read belongs to the file this call began with
    if (!load(self)) return false;
    file = std::move(kept_file);
    return true;
}

void HostCalls::refresh_filters(PyObject* self) {
    if (as_iterator(self)->native->lookups.vouches_for(self, *this)) return;
    // Code ran that may have changed what lookup finds: back to looking everything up.
    from_cache = false;
    priority_filter.reset();
    source_filter.reset();
    load_filters_live(self);
}

}  // namespace nerit::record_source
