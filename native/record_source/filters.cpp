// Priority and source filters of the iterator base, with their setters.
#include "py/host.hpp"
#include "record_source/filters.hpp"
#include "record_source/decode_filter.hpp"
#include "record_source/state.hpp"

namespace nerit::record_source {
namespace {

ModuleState* state_of(PyObject* self) {
    PyObject* module = module_of(self);
    return module == nullptr ? nullptr : state_of_module(module);
}

bool is_empty_set(PyObject* value) {
    return value != nullptr && PyAnySet_CheckExact(value) && PySet_GET_SIZE(value) == 0;
}

// self.<name>, or `known` when the caller already looked it up.
Ref filter_set(PyObject* self, PyObject* name, PyObject* known) {
    return known != nullptr ? Ref::borrow(known) : py::getattr(self, name);
}

// Returns a new reference to True or False, or null on error. `known_set` is the priority set
// when the caller has it, else nullptr.
PyObject* filter_priority_with(PyObject* self, ModuleState* st, PyObject* event,
                               PyObject* known_set) {
    Ref accepted = filter_set(self, st->names.priority_filter.get(), known_set);
    if (!accepted) return nullptr;
    int any = PyObject_IsTrue(accepted.get());
    if (any < 0) return nullptr;
    if (any == 0) Py_RETURN_TRUE;
    Ref priority = Ref::steal(PyObject_GetItem(event, st->names.priority_key.get()));
    if (!priority) return nullptr;
    int found = PySequence_Contains(accepted.get(), priority.get());
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

// The name of the first member of event["MSG"]; empty Ref without error when it has none.
Ref first_source_name(ModuleState* st, PyObject* event, bool& error) {
    error = true;
    Ref message = Ref::steal(PyObject_GetItem(event, st->names.msg_key.get()));
    if (!message) return Ref();
    if (PyDict_CheckExact(message.get())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        error = false;
        if (!PyDict_Next(message.get(), &pos, &key, &value)) return Ref();
        return Ref::borrow(key);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(message.get(), st->names.keys.get()));
    if (!keys) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(keys.get()));
    if (!iterator) return Ref();
    Ref first = Ref::steal(PyIter_Next(iterator.get()));
    if (!first && PyErr_Occurred()) return Ref();
    error = false;
    return first;
}

PyObject* filter_source_with(PyObject* self, ModuleState* st, PyObject* event,
                             PyObject* known_set) {
    Ref wanted = filter_set(self, st->names.source_filter.get(), known_set);
    if (!wanted) return nullptr;
    int any = PyObject_IsTrue(wanted.get());
    if (any < 0) return nullptr;
    if (any == 0) Py_RETURN_TRUE;
    bool error = false;
    Ref name = first_source_name(st, event, error);
    if (error) return nullptr;
    if (!name) Py_RETURN_FALSE;
    Ref iterator = Ref::steal(PyObject_GetIter(wanted.get()));
    if (!iterator) return nullptr;
    while (Ref part = Ref::steal(PyIter_Next(iterator.get()))) {
        int found = PySequence_Contains(name.get(), part.get());
        if (found < 0) return nullptr;
        if (found) Py_RETURN_TRUE;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* filter_priority(PyObject* self, ModuleState* st, PyObject* event) {
    return filter_priority_with(self, st, event, nullptr);
}

PyObject* filter_source(PyObject* self, ModuleState* st, PyObject* event) {
    return filter_source_with(self, st, event, nullptr);
}

// Calls the hook `name` on self: the native test when nothing replaced it, else the override.
PyObject* call_hook(PyObject* self, ModuleState* st, PyObject* name, PyObject* native,
                    PyObject* (*test)(PyObject*, ModuleState*, PyObject*), PyObject* event) {
    if (py::resolves_to(self, name, native)) return test(self, st, event);
    return PyObject_CallMethodOneArg(self, name, event);
}

PyObject* filter_event(PyObject* self, ModuleState* st, PyObject* event) {
    Ref priority = Ref::steal(call_hook(self, st, st->names.filter_priority.get(),
                                        st->native_filter_priority.get(), filter_priority, event));
    if (!priority) return nullptr;
    int passed = PyObject_IsTrue(priority.get());
    if (passed < 0) return nullptr;
    // `a and b`: a false priority verdict is the result as it is.
    if (passed == 0) return priority.release();
    return call_hook(self, st, st->names.filter_source.get(), st->native_filter_source.get(),
                     filter_source, event);
}

}  // namespace

PyObject* call_filter_event(PyObject* self, HostCalls& host, PyObject* record) {
    ModuleState* st = host.st;
    host.refresh_filters(self);
    if (!host.native_filter_event)
        return PyObject_CallMethodOneArg(self, st->names.filter_event.get(), record);
    // No filter set (the usual case): both native tests accept without looking at the record.
    if (host.native_filter_priority && host.native_filter_source &&
        is_empty_set(host.priority_filter.get()) && is_empty_set(host.source_filter.get())) {
        Py_RETURN_TRUE;
    }
    Ref priority =
        Ref::steal(host.native_filter_priority
                       ? filter_priority_with(self, st, record, host.priority_filter.get())
                       : PyObject_CallMethodOneArg(self, st->names.filter_priority.get(), record));
    if (!priority) return nullptr;
    int passed = PyObject_IsTrue(priority.get());
    if (passed < 0) return nullptr;
    if (passed == 0) return priority.release();
    // An overriding priority test is code that may have replaced the source test meanwhile.
    if (!host.native_filter_priority) host.refresh_filters(self);
    if (!host.native_filter_source)
        return PyObject_CallMethodOneArg(self, st->names.filter_source.get(), record);
    return filter_source_with(self, st, record, host.source_filter.get());
}

// Parses the single `event_dict` argument of a filter test, positional or by keyword.
static PyObject* one_event(PyObject* args, PyObject* kwargs, const char* format) {
    char* keywords[] = {const_cast<char*>("event_dict"), nullptr};
    PyObject* event = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &event)) return nullptr;
    return event;
}

PyObject* method_filter_priority(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* event = one_event(args, kwargs, "O:_filter_priority");
    ModuleState* st = event == nullptr ? nullptr : state_of(self);
    return st == nullptr ? nullptr : filter_priority(self, st, event);
}

PyObject* method_filter_source(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* event = one_event(args, kwargs, "O:_filter_source");
    ModuleState* st = event == nullptr ? nullptr : state_of(self);
    return st == nullptr ? nullptr : filter_source(self, st, event);
}

PyObject* method_filter_event(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* event = one_event(args, kwargs, "O:_filter_event");
    ModuleState* st = event == nullptr ? nullptr : state_of(self);
    return st == nullptr ? nullptr : filter_event(self, st, event);
}

// Stores set(values) under the private name; the old set stays when values is not iterable.
static PyObject* set_filter(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                            const char* keyword, bool priority) {
    char* keywords[] = {const_cast<char*>(keyword), nullptr};
    PyObject* values = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &values)) return nullptr;
    ModuleState* st = state_of(self);
    if (st == nullptr) return nullptr;
    Ref set = Ref::steal(PySet_New(values));
    if (!set) return nullptr;
    PyObject* name = priority ? st->names.priority_filter.get() : st->names.source_filter.get();
    if (PyObject_SetAttr(self, name, set.get()) < 0) return nullptr;
    return py::none();
}

PyObject* method_set_priority_filter(PyObject* self, PyObject* args, PyObject* kwargs) {
    return set_filter(self, args, kwargs, "O:set_priority_filter", "priority_filter", true);
}

PyObject* method_set_source_filter(PyObject* self, PyObject* args, PyObject* kwargs) {
    return set_filter(self, args, kwargs, "O:set_source_filter", "source_filter", false);
}

}  // namespace nerit::record_source
