// Module initialisation of nerit_record_console.record_source (placeholder until its classes land).
#include "py/host.hpp"

namespace {

// The declared shape of one event and of a list of them, as typing aliases.
int add_event_aliases(PyObject* module) {
    using nerit::py::Ref;
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    if (!typing) return -1;
    Ref dict_alias = nerit::py::getattr(typing.get(), "Dict");
    Ref union_alias = nerit::py::getattr(typing.get(), "Union");
    Ref list_alias = nerit::py::getattr(typing.get(), "List");
    if (!dict_alias || !union_alias || !list_alias) return -1;
    Ref fields = Ref::steal(PyObject_GetItem(
        dict_alias.get(),
        Ref::steal(Py_BuildValue("(OO)", &PyUnicode_Type, &PyUnicode_Type)).get()));
    if (!fields) return -1;
    Ref members = Ref::steal(PyObject_GetItem(
        dict_alias.get(), Ref::steal(Py_BuildValue("(OO)", &PyUnicode_Type, fields.get())).get()));
    if (!members) return -1;
    Ref value = Ref::steal(
        PyObject_GetItem(union_alias.get(),
                         Ref::steal(Py_BuildValue("(OO)", &PyUnicode_Type, members.get())).get()));
    if (!value) return -1;
    Ref event = Ref::steal(PyObject_GetItem(
        dict_alias.get(), Ref::steal(Py_BuildValue("(OO)", &PyUnicode_Type, value.get())).get()));
    if (!event || PyModule_AddObjectRef(module, "NeritEvent", event.get()) < 0) return -1;
    Ref events = Ref::steal(PyObject_GetItem(list_alias.get(), event.get()));
    if (!events || PyModule_AddObjectRef(module, "NeritEvents", events.get()) < 0) return -1;
    return 0;
}

int exec_module(PyObject* module) {
    if (add_event_aliases(module) < 0) return -1;
    return nerit::py::init_fast_paths_switch(module);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "nerit_record_console.record_source",
                          nullptr,
                          0,
                          nullptr,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_record_source() {
    return PyModuleDef_Init(&module_def);
}
