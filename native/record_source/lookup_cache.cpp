// Per-call host look-ups of the iterators, served from the instance's cache while the version
// tags of everything they depend on are unchanged.
#include "record_source/lookup_cache.hpp"

#include "py/host.hpp"
#include "record_source/decode_filter.hpp"
#include "record_source/iterator_object.hpp"
#include "record_source/state.hpp"

namespace nerit::record_source {
namespace {

bool type_version_valid(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
}

PyObject* instance_dict(PyObject* self) {
    PyObject** slot = _PyObject_GetDictPtr(self);
    return slot == nullptr ? nullptr : *slot;
}

// Keeps `calls` for later calls when every value in it is one that a version tag guards.
void store(PyObject* self, LookupCache& cache, HostCalls& calls, PyObject* json) {
    ModuleState* st = calls.st;
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return;
    PyObject* dict = instance_dict(self);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return;
    // json.loads on a plain module is its dict entry; ModuleType defines no such name.
    if (!PyModule_CheckExact(json)) return;
    PyObject* json_dict = PyModule_GetDict(json);
    if (PyDict_GetItemWithError(json_dict, st->names.loads.get()) != calls.json_loads.get()) {
        PyErr_Clear();
        return;
    }
    PyObject* file = instance_entry(type, dict, st->names.file.get());
    PyObject* priorities = instance_entry(type, dict, st->names.priority_filter.get());
    PyObject* sources = instance_entry(type, dict, st->names.source_filter.get());
    if (file == nullptr || priorities == nullptr || sources == nullptr) return;
    if (!type_version_valid(type)) return;
    calls.file = Ref::borrow(file);
    calls.priority_filter = Ref::borrow(priorities);
    calls.source_filter = Ref::borrow(sources);
    calls.from_cache = true;
    calls.generation = ++cache.generation;
    cache.type = type;
    cache.type_version = type->tp_version_tag;
    cache.dict = dict;
    cache.dict_version = version_tag(dict);
    cache.module_dict = PyModule_GetDict(calls.module);
    cache.module_dict_version = version_tag(cache.module_dict);
    cache.json = Ref::borrow(json);
    cache.json_dict_version = version_tag(json_dict);
    cache.calls = calls;
    cache.valid = true;
}

}  // namespace

PyObject* instance_entry(PyTypeObject* type, PyObject* dict, PyObject* name) {
    if (_PyType_Lookup(type, name) != nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

bool LookupCache::matches(PyObject* self) const {
    if (!valid) return false;
    PyTypeObject* self_type = Py_TYPE(self);
    if (self_type != type || !type_version_valid(self_type) ||
        self_type->tp_version_tag != type_version) {
        return false;
    }
    PyObject* self_dict = instance_dict(self);
    return self_dict == dict && version_tag(self_dict) == dict_version &&
           version_tag(module_dict) == module_dict_version &&
           version_tag(PyModule_GetDict(json.get())) == json_dict_version;
}

bool LookupCache::dates_match() const {
    return dates_valid && version_tag(PyModule_GetDict(dateutil.get())) == dateutil_dict_version &&
           version_tag(PyModule_GetDict(parser.get())) == parser_dict_version;
}

void LookupCache::clear() {
    valid = false;
    dates_valid = false;
    json.reset();
    calls = HostCalls();
    dateutil.reset();
    parser.reset();
    dates = DateLookups();
}

int LookupCache::traverse(visitproc visit, void* arg) const {
    for (const Ref* ref :
         {&json, &calls.json_loads, &calls.file, &calls.priority_filter, &calls.source_filter,
          &dateutil, &parser, &dates.pattern, &dates.isoparse, &dates.since, &dates.until}) {
        Py_VISIT(ref->get());
    }
    return 0;
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
    cache.clear();
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
    store(self, cache, *this, json.get());
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
