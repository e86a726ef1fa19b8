// Holding a raised error while handler or clean-up code runs, as try/except/finally would.
#pragma once

#include "py/compat.hpp"

namespace nerit::console {

// The error currently set, taken out of the interpreter (normalised) so other code can run.
using PendingError = py::compat::RaisedError;

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
