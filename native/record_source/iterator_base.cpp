// NeritEventIterator: instance layout, construction, GC support and the iteration protocol.
#include <new>
#include <utility>

#include "py/host.hpp"
#include "record_source/iterator_types.hpp"
#include "record_source/filters.hpp"
#include "record_source/iterator_object.hpp"

#include <structmember.h>

namespace nerit::record_source {
namespace {

PyObject* iterator_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_iterator(self)->native = new (std::nothrow) NativeState();
    if (as_iterator(self)->native == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    iterator_clear(self);
    delete as_iterator(self)->native;
    as_iterator(self)->native = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

int base_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {const_cast<char*>("event_file_path"), nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", keywords, &path)) return -1;
    PyObject* module = module_of(self);
    if (module == nullptr) return -1;
    return base_init_steps(self, state_of_module(module), path);
}

PyObject* base_init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return base_init(self, args, kwargs) < 0 ? nullptr : py::none();
}

// The base class's __next__ is a placeholder returning None.
PyObject* base_next(PyObject*) {
    return py::none();
}

PyMethodDef base_methods[] = {
    {"__init__", cfunction(base_init_method), METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
     "__init__($self, /, event_file_path)\n--\n\nOpen the event file for reading, with no filter set."},
    {"set_priority_filter", cfunction(method_set_priority_filter), METH_VARARGS | METH_KEYWORDS,
     "set_priority_filter($self, /, priority_filter)\n--\n\n"
     "Accept only events whose PRIORITY equals one of these names; an empty list accepts all."},
    {"set_source_filter", cfunction(method_set_source_filter), METH_VARARGS | METH_KEYWORDS,
     "set_source_filter($self, /, source_filter)\n--\n\n"
     "Accept only events whose source name contains one of these texts; an empty list accepts "
     "all."},
    {"_filter_priority", cfunction(method_filter_priority), METH_VARARGS | METH_KEYWORDS,
     "_filter_priority($self, /, event_dict)\n--\n\nWhether the event passes the priority filter."},
    {"_filter_source", cfunction(method_filter_source), METH_VARARGS | METH_KEYWORDS,
     "_filter_source($self, /, event_dict)\n--\n\nWhether the event passes the source filter."},
    {"_filter_event", cfunction(method_filter_event), METH_VARARGS | METH_KEYWORDS,
     "_filter_event($self, /, event_dict)\n--\n\n"
     "Whether the event passes both filters; the iterators drop the events it refuses."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef base_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(IteratorObject, dict), READONLY, nullptr}, {}};

PyGetSetDef base_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr}, {}};

}  // namespace

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    IteratorObject* it = as_iterator(self);
    Py_VISIT(it->dict);
    return it->native == nullptr ? 0 : it->native->traverse(visit, arg);
}

int iterator_clear(PyObject* self) {
    IteratorObject* it = as_iterator(self);
    // Dropped through a handle so that the dict's own clean-up runs with the slot already empty.
    Ref dict = Ref::steal(std::exchange(it->dict, nullptr));
    if (it->native != nullptr) it->native->clear();
    return 0;
}

int base_init_steps(PyObject* self, ModuleState* st, PyObject* event_file_path) {
    OwnFile& own = as_iterator(self)->native->own;
    own.open(Ref(), 0);
    if (PyObject_SetAttr(self, st->names.file_path.get(), event_file_path) < 0) return -1;
    Ref file = Ref::steal(PyObject_CallMethodNoArgs(event_file_path, st->names.open.get()));
    if (!file) return -1;
    if (PyObject_SetAttr(self, st->names.file.get(), file.get()) < 0) return -1;
    own.opened_through_posix_path =
        Py_IS_TYPE(event_file_path, reinterpret_cast<PyTypeObject*>(st->posix_path_type.get()));
    own.open(std::move(file), 0);
    Ref priorities = Ref::steal(PySet_New(nullptr));
    if (!priorities ||
        PyObject_SetAttr(self, st->names.priority_filter.get(), priorities.get()) < 0) {
        return -1;
    }
    Ref sources = Ref::steal(PySet_New(nullptr));
    if (!sources || PyObject_SetAttr(self, st->names.source_filter.get(), sources.get()) < 0) {
        return -1;
    }
    return 0;
}

Ref close_file(PyObject* self, ModuleState* st) {
    Ref file = py::getattr(self, st->names.file.get());
    if (!file) return file;
    return Ref::steal(PyObject_CallMethodNoArgs(file.get(), st->names.close.get()));
}

PyObject* make_base_type(PyObject* module, ModuleState*) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("\n    A base class for event iterators.\n    ")},
        {Py_tp_new, reinterpret_cast<void*>(iterator_new)},
        {Py_tp_init, reinterpret_cast<void*>(base_init)},
        {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(base_next)},
        {Py_tp_methods, base_methods},
        {Py_tp_members, base_members},
        {Py_tp_getset, base_getset},
        {0, nullptr}};
    PyType_Spec spec = {"nerit_record_console.record_source.NeritEventIterator",
                        sizeof(IteratorObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace nerit::record_source
