// Holding a raised error while handler or clean-up code runs, as try/except/finally would.
#pragma once

#include "py/ref.hpp"

namespace nerit::console {

// The error currently set, taken out of the interpreter (normalised) so other code can run.
class PendingError {
  public:
    static PendingError fetch() {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
        PendingError error;
        error.type_ = py::Ref::steal(type);
        error.value_ = py::Ref::steal(value);
        error.traceback_ = py::Ref::steal(traceback);
        return error;
    }

    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    bool matches(PyObject* exception_class) const {
        return type_ && PyErr_GivenExceptionMatches(type_.get(), exception_class);
    }
    PyObject* value() const noexcept { return value_.get(); }

    // Puts the error back as the one being raised.
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

  private:
    py::Ref type_, value_, traceback_;
};

// While alive, makes `error` the exception being handled (what sys.exc_info() reports inside an
// except or finally block), so errors raised meanwhile get it as their __context__.
class HandlingScope {
  public:
    explicit HandlingScope(PyObject* error_value)
        : saved_(py::Ref::steal(PyErr_GetHandledException())) {
        if (error_value != nullptr) PyErr_SetHandledException(error_value);
    }
    ~HandlingScope() { PyErr_SetHandledException(saved_.get()); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

  private:
    py::Ref saved_;
};

}  // namespace nerit::console
