// Module state declared once per module: a table of interned names (rows X(field, "text")) and a
// table of owned references (rows X(field)) generate the state's Ref fields, the interning of the
// names, and the collector's traverse and clear, so that no reference is left out of either.
#pragma once

#include <new>

#include "py/ref.hpp"

#define NERIT_STATE_DECLARE(field, ...) ::nerit::py::Ref field;
#define NERIT_STATE_INTERN(field, text)                                \
    field = ::nerit::py::Ref::steal(PyUnicode_InternFromString(text)); \
    if (!field) return false;
#define NERIT_STATE_VISIT(field, ...) Py_VISIT(field.get());
#define NERIT_STATE_RESET(field, ...) field.reset();

// An empty table, for a state with names only or references only.
#define NERIT_STATE_NONE(X)

// Inside a state struct: the fields of both tables, and
//   bool intern_names()                    fills the names (false with an error set);
//   int traverse_table(visitproc, void*)   visits every field;
//   void clear_table()                     releases every field.
#define NERIT_STATE_TABLE(NAMES, REFS)                            \
    NAMES(NERIT_STATE_DECLARE)                                    \
    REFS(NERIT_STATE_DECLARE)                                     \
    bool intern_names() {                                         \
        NAMES(NERIT_STATE_INTERN)                                 \
        return true;                                              \
    }                                                             \
    int traverse_table(visitproc visit, void* arg) const {        \
        NAMES(NERIT_STATE_VISIT)                                  \
        REFS(NERIT_STATE_VISIT)                                   \
        return 0;                                                 \
    }                                                             \
    void clear_table() {                                          \
        NAMES(NERIT_STATE_RESET)                                  \
        REFS(NERIT_STATE_RESET)                                   \
    }

namespace nerit::py {

// The state of a module lives behind one pointer in the module's state block: made when the
// module executes, traversed and cleared by the collector, deleted (destructor and all) with the
// module. `State` provides traverse(visit, arg) and clear().
template <class State>
struct ModuleStateSlot {
    static constexpr Py_ssize_t kSize = sizeof(State*);

    static State* of(PyObject* module) { return *slot(module); }

    // Makes the state of a module being executed; nullptr with MemoryError set on failure.
    static State* create(PyObject* module) {
        State*& held = *slot(module);
        if (held == nullptr) held = new (std::nothrow) State();
        if (held == nullptr) PyErr_NoMemory();
        return held;
    }

    static int traverse(PyObject* module, visitproc visit, void* arg) {
        State* state = of(module);
        return state == nullptr ? 0 : state->traverse(visit, arg);
    }

    static int clear(PyObject* module) {
        if (State* state = of(module)) state->clear();
        return 0;
    }

    static void free(void* module) {
        State*& held = *slot(static_cast<PyObject*>(module));
        State* state = held;
        held = nullptr;
        delete state;
    }

  private:
    static State** slot(PyObject* module) {
        return static_cast<State**>(PyModule_GetState(module));
    }
};

}  // namespace nerit::py
