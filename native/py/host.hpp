// Helpers for reaching host facilities the way Python code would, and for spotting overrides.
#pragma once

#include "py/compat.hpp"
#include "py/ref.hpp"

namespace nerit::py {

// Name of the module attribute that switches the native fast paths on (true, the default)
// or forces every host facility to be called as it is (false). The environment variable
// NERIT_HOST_PATHS=1 sets it to false when the module loads.
inline constexpr const char* kFastPathsAttr = "_fast_paths";

// Borrowed value of a module global, or nullptr (no error set) when absent.
inline PyObject* module_global(PyObject* module, PyObject* name) {
    return PyDict_GetItemWithError(PyModule_GetDict(module), name);
}

// Raises KeyError(key) as a failed dict[key] does (the key wrapped, so that a tuple key is not
// taken for the exception's arguments).
inline void raise_key_error(PyObject* key) {
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

// True when the module's fast-path switch is on. Reads the attribute each time, so a test can
// flip it between calls.
inline bool fast_paths_enabled(PyObject* module, PyObject* switch_name) {
    PyObject* flag = module_global(module, switch_name);
    return flag == Py_True;
}

// Sets the switch when a module loads, honouring NERIT_HOST_PATHS.
inline int init_fast_paths_switch(PyObject* module) {
    const char* env = Py_GETENV("NERIT_HOST_PATHS");
    bool host_only = env != nullptr && env[0] != '\0' && env[0] != '0';
    return PyModule_AddObjectRef(module, kFastPathsAttr, host_only ? Py_False : Py_True);
}

// True when attribute lookup of `name` on `self` finds exactly `native` in the class
// hierarchy and nothing in the instance dictionary, i.e. no subclass or caller replaced it.
inline bool resolves_to(PyObject* self, PyObject* name, PyObject* native) {
    PyObject** dictptr = compat::instance_dict_slot(self);
    if (dictptr != nullptr && *dictptr != nullptr) {
        if (PyDict_GetItemWithError(*dictptr, name) != nullptr) return false;
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return compat::find_in_class(Py_TYPE(self), name) == native;
}

}  // namespace nerit::py
