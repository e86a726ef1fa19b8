// Probe of the native JSON decoder: its result, or word that it declined the text.
#include <new>

#include "probe/probe.hpp"
#include "py/json_build.hpp"

namespace nerit::probe {
namespace {

constexpr const char* kCacheCapsuleName = "nerit_record_console._probe.KeyCache";

void destroy_cache(PyObject* capsule) {
    delete static_cast<py::KeyCache*>(PyCapsule_GetPointer(capsule, kCacheCapsuleName));
}

// One key cache kept in the module's dict for the module's life, so that successive calls
// exercise hits, misses and slot replacement as a stream of lines would.
py::KeyCache* module_key_cache(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* capsule = PyDict_GetItemString(dict, "_json_key_cache");
    if (capsule != nullptr) {
        return static_cast<py::KeyCache*>(PyCapsule_GetPointer(capsule, kCacheCapsuleName));
    }
    auto* cache = new (std::nothrow) py::KeyCache();
    if (cache == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    py::Ref fresh = py::Ref::steal(PyCapsule_New(cache, kCacheCapsuleName, destroy_cache));
    if (!fresh) {
        delete cache;
        return nullptr;
    }
    if (PyDict_SetItemString(dict, "_json_key_cache", fresh.get()) < 0) return nullptr;
    return cache;
}

}  // namespace

PyObject* json_loads(PyObject* module, PyObject* args) {
    PyObject* text = nullptr;
    int use_key_cache = 1;
    if (!PyArg_ParseTuple(args, "U|p:json_loads", &text, &use_key_cache)) return nullptr;
    py::KeyCache* cache = nullptr;
    if (use_key_cache) {
        cache = module_key_cache(module);
        if (cache == nullptr) return nullptr;
    }
    py::Ref value = py::json_decode_fast(text, cache);
    if (!value) {
        if (PyErr_Occurred()) return nullptr;
        return Py_BuildValue("(OO)", Py_False, Py_None);
    }
    return Py_BuildValue("(OO)", Py_True, value.get());
}

}  // namespace nerit::probe
