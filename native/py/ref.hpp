// Owning handle for Python references: the one place where reference counts change.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace nerit::py {

// Holds one strong reference (or none). Construction says where the reference came from:
// Ref::steal takes over a new reference (what most C API calls return), Ref::borrow adds
// one to a borrowed pointer. release() hands the reference to the caller, typically as the
// return value of a C API slot.
class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(ptr_); }

    [[nodiscard]] static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
    [[nodiscard]] static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(const Ref& other) noexcept {
        Ref copy(other);
        std::swap(ptr_, copy.ptr_);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        Ref moved(std::move(other));
        std::swap(ptr_, moved.ptr_);
        return *this;
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A new reference for a caller that keeps its own (e.g. PyTuple_SET_ITEM steals).
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(PyObject* other) const noexcept { return ptr_ == other; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Attribute access returning owned handles; an empty Ref means a Python error is set.
inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

// Returns Py_None as a new reference, for slots that return "nothing".
inline PyObject* none() { Py_RETURN_NONE; }

}  // namespace nerit::py
