// Module initialisation of nerit_record_console.record_layout (placeholder until its classes land).
#include "py/host.hpp"

namespace {

int exec_module(PyObject* module) { return nerit::py::init_fast_paths_switch(module); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "nerit_record_console.record_layout", nullptr, 0, nullptr,
                          slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_record_layout() { return PyModuleDef_Init(&module_def); }
