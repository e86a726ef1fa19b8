// Everything that depends on the interpreter's release: every version gate and every call outside
// the public C API sits here, so that a new release is a change to this file. The rest of the
// code uses only what this header offers and the public API.
#pragma once

#include <cstdint>

#include "py/ref.hpp"

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "nerit_record_console supports CPython 3.11, 3.12 and 3.13"
#endif
#ifdef Py_GIL_DISABLED
#error "nerit_record_console relies on the GIL: build it for an interpreter that has one"
#endif

#define NERIT_PY_312 (PY_VERSION_HEX >= 0x030C0000)
#define NERIT_PY_313 (PY_VERSION_HEX >= 0x030D0000)

namespace nerit::py::compat {

// --- Attribute lookup -------------------------------------------------------------------------
// Both are exported by every supported release (cpython/object.h); no public call answers the
// same questions without running code.

// The slot of the instance dict of `object` (which may hold nullptr), or nullptr when its type
// has none.
inline PyObject** instance_dict_slot(PyObject* object) {
    return _PyObject_GetDictPtr(object);
}

// What the class hierarchy of `type` defines under `name` (borrowed), or nullptr (no error set)
// when nothing does. Runs no code.
inline PyObject* find_in_class(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// The namespace of a type (read only), as a new reference.
inline Ref type_dict(PyTypeObject* type) {
#if NERIT_PY_312
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// --- References -----------------------------------------------------------------------------

// Whether `object` has no holders besides the `known` references the caller accounts for, so that
// no other code can reach it (on every supported release a reference count says exactly that for
// objects that are not immortal, which a dict or a list never is).
inline bool held_only_by(PyObject* object, Py_ssize_t known) {
    return Py_REFCNT(object) == known;
}

// --- Strings --------------------------------------------------------------------------------

// The hash a str keeps once it has been computed (every key of a dict has it), or -1. Read from
// the str's header as the interpreter's own hash function does (3.14 offers it publicly as
// PyUnstable_Unicode_GET_CACHED_HASH).
inline Py_hash_t cached_str_hash(PyObject* text) {
    return reinterpret_cast<PyASCIIObject*>(text)->hash;
}

// --- Dicts ----------------------------------------------------------------------------------

// dict.pop(key, None) on a dict, the result dropped; false with an error set on failure.
inline bool dict_discard(PyObject* dict, PyObject* key) {
#if NERIT_PY_313
    PyObject* removed = nullptr;
    const int found = PyDict_Pop(dict, key, &removed);
    Py_XDECREF(removed);
    return found >= 0;
#else
    return static_cast<bool>(Ref::steal(_PyDict_Pop(dict, key, Py_None)));
#endif
}

// --- Text files -----------------------------------------------------------------------------

// Whether the host's text file (TextIOWrapper) may turn "\n" into another line end when it
// writes: its newline argument, which no attribute shows, is among the objects its traverse
// visits (every supported release). A visited str "\r" or "\r\n" counts; pending text that
// happens to be such a str gives a false alarm, which only costs the caller its fast path.
inline bool text_file_may_translate(PyObject* file) {
    traverseproc traverse = Py_TYPE(file)->tp_traverse;
    if (traverse == nullptr) return true;
    bool found = false;
    traverse(
        file,
        [](PyObject* object, void* flag) -> int {
            if (PyUnicode_CheckExact(object) &&
                (PyUnicode_CompareWithASCIIString(object, "\r") == 0 ||
                 PyUnicode_CompareWithASCIIString(object, "\r\n") == 0)) {
                *static_cast<bool*>(flag) = true;
            }
            return 0;
        },
        &found);
    return found;
}

// --- Errors ---------------------------------------------------------------------------------

// The error being raised, taken out of the interpreter (as an exception instance) so that other
// code can run, and put back later.
class RaisedError {
  public:
    static RaisedError fetch() {
        RaisedError error;
#if NERIT_PY_312
        error.value_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
        error.type_ = Ref::steal(type);
        error.value_ = Ref::steal(value);
        error.traceback_ = Ref::steal(traceback);
#endif
        return error;
    }

    explicit operator bool() const noexcept { return static_cast<bool>(value_) || has_type(); }
    // The exception instance (nullptr when nothing was raised).
    PyObject* value() const noexcept { return value_.get(); }
    bool matches(PyObject* exception_class) const {
#if NERIT_PY_312
        return value_ && PyErr_GivenExceptionMatches(value_.get(), exception_class);
#else
        return type_ && PyErr_GivenExceptionMatches(type_.get(), exception_class);
#endif
    }

    // Raises the error again; nothing is held afterwards.
    void restore() {
#if NERIT_PY_312
        if (value_) PyErr_SetRaisedException(value_.release());
#else
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
    }

  private:
    bool has_type() const noexcept {
#if NERIT_PY_312
        return false;
#else
        return static_cast<bool>(type_);
#endif
    }

#if !NERIT_PY_312
    Ref type_;
    Ref traceback_;
#endif
    Ref value_;
};

// --- Knowing when a dict or a type changes ------------------------------------------------
// 3.11 stamps every dict change with a new version tag and every type with a version tag that
// lasts until it changes; 3.12 deprecates the dict's tag and offers watchers that call back on
// each change instead. Only the primitives of the running release are ever called: the others
// are stubs that keep the callers compiling.

inline constexpr bool kChangeWatchers = NERIT_PY_312;

// Version tag of a dict (3.11): a new value after every change of the dict.
#if NERIT_PY_312
inline std::uint64_t dict_version(PyObject*) {
    return 0;  // never asked: the watchers answer
}
#else
inline std::uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// Whether `type` holds a valid version tag: on every release, a change to the type (or to a
// base) then clears it, and the change watchers of 3.12 are called only for types that hold one.
inline bool type_version_valid(PyTypeObject* type) {
#if NERIT_PY_313
    return type->tp_version_tag != 0;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
#endif
}

// The version tag `type` holds now, 0 when none.
inline unsigned int current_type_version(PyTypeObject* type) {
    return type_version_valid(type) ? type->tp_version_tag : 0;
}

// The version tag of `type`, given one first when it holds none; 0 when it cannot get one (the
// interpreter ran out of tags).
inline unsigned int type_version(PyTypeObject* type) {
#if NERIT_PY_312
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#else
    if (!type_version_valid(type)) {
        // A look-up through the type cache gives the type a tag as it goes.
        static PyObject* const any_name = PyUnicode_InternFromString("__class__");
        if (any_name == nullptr) {
            PyErr_Clear();
            return 0;
        }
        find_in_class(type, any_name);
    }
#endif
    return current_type_version(type);
}

// The change watchers (3.12 and later): `Notify(object)` is called after each change of a
// watched dict or type. The add calls return the watcher's id, the others 0; all return -1 with
// an error set on failure.
#if NERIT_PY_312
template <void (*Notify)(PyObject*)>
int add_dict_watcher() {
    return PyDict_AddWatcher([](PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) -> int {
        Notify(dict);
        return 0;
    });
}

template <void (*Notify)(PyObject*)>
int add_type_watcher() {
    return PyType_AddWatcher([](PyTypeObject* type) -> int {
        Notify(reinterpret_cast<PyObject*>(type));
        return 0;
    });
}

inline int clear_watchers(int dict_watcher, int type_watcher) {
    int result = 0;
    if (dict_watcher >= 0 && PyDict_ClearWatcher(dict_watcher) < 0) result = -1;
    if (type_watcher >= 0 && PyType_ClearWatcher(type_watcher) < 0) result = -1;
    return result;
}

inline int watch(int watcher, PyObject* object, bool is_type) {
    return is_type ? PyType_Watch(watcher, object) : PyDict_Watch(watcher, object);
}

inline int unwatch(int watcher, PyObject* object, bool is_type) {
    return is_type ? PyType_Unwatch(watcher, object) : PyDict_Unwatch(watcher, object);
}
#else
// Never reached on 3.11 (kChangeWatchers is false): present so that the callers compile.
inline int no_watchers() {
    PyErr_SetString(PyExc_SystemError, "change watchers need Python 3.12");
    return -1;
}
template <void (*Notify)(PyObject*)>
int add_dict_watcher() {
    return no_watchers();
}
template <void (*Notify)(PyObject*)>
int add_type_watcher() {
    return no_watchers();
}
inline int clear_watchers(int, int) {
    return 0;
}
inline int watch(int, PyObject*, bool) {
    return no_watchers();
}
inline int unwatch(int, PyObject*, bool) {
    return no_watchers();
}
#endif

}  // namespace nerit::py::compat
