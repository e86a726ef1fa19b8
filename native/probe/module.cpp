// Module initialisation of nerit_record_console._probe, the test window on the native primitives.
#include "probe/probe.hpp"

namespace {

PyMethodDef methods[] = {
    {"json_loads", nerit::probe::json_loads, METH_VARARGS, nullptr},
    {"isoparse", nerit::probe::isoparse, METH_VARARGS, nullptr},
    {"find_date", nerit::probe::find_date, METH_VARARGS, nullptr},
    {"recent_line_starts", nerit::probe::recent_line_starts, METH_VARARGS, nullptr},
    {"fromisoformat_text", nerit::probe::fromisoformat_text, METH_VARARGS, nullptr},
    {"escape_controls", nerit::probe::escape_controls, METH_VARARGS, nullptr},
    {"utf8_valid", nerit::probe::utf8_valid, METH_VARARGS, nullptr},
    {"find_line_end", nerit::probe::find_line_end, METH_VARARGS, nullptr},
    {"date_floor_passes_over", nerit::probe::date_floor_passes_over, METH_VARARGS, nullptr},
    {"event_line", nerit::probe::event_line, METH_VARARGS, nullptr},
    {"render_file", nerit::probe::render_file, METH_VARARGS, nullptr},
    {"watched_objects", nerit::probe::watched_objects, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "nerit_record_console._probe", nullptr, 0, methods,
                          slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&module_def); }
