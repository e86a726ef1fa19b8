// Module initialisation of nerit_record_console.record_layout (TEMP placeholder classes for console development).
#include "py/host.hpp"

namespace {

constexpr const char* kPlaceholder = R"PY(
import locale
from datetime import datetime
from nerit_record_console.record_source import NeritEvent
class NeritEventFormatter:
    LOCALE = locale.getlocale()[0]
    COLOR_OK, COLOR_FAIL, COLOR_GREY, COLOR_END = "\x1b[93m", "\x1b[91m", "\x1b[90m", "\x1b[0m"
    def __init__(self, format_expression=None, is_detailed=False, is_raw=False, no_color=False, use_iso_date=False):
        self.fe, self.is_detailed, self.is_raw, self.no_color, self.iso = format_expression, is_detailed, is_raw, no_color, use_iso_date
    def _c(self, s):
        return s if self.no_color or self.is_raw else self.COLOR_GREY + s + self.COLOR_END
    def format_event(self, event):
        lang = "ru" if self.LOCALE == "ru_RU" else "en"
        key = next(iter(event["MSG"]))
        event["source"] = key.split("-")[1] if "nerit" in key else key
        inner = event["MSG"][key]
        for k in (("type_en", "name_en") if lang == "ru" else ("type_ru", "name_ru")):
            inner.pop(k, None)
        event.update(inner)
        del event["MSG"]
        if not (self.no_color or self.is_raw):
            p = event["PRIORITY"]
            if p in ("critical", "crit", "alert", "emergency", "emerg"):
                p = self.COLOR_FAIL + p + self.COLOR_END
            elif p in ("warning", "error", "err"):
                p = self.COLOR_OK + p + self.COLOR_END
            event["PRIORITY"] = p
        if self.is_detailed or self.is_raw:
            w = max(map(len, event))
            return "\n".join(self._c((k.capitalize() if self.is_detailed else k) + ":") + " " * (w - len(k)) + " " + str(v) for k, v in event.items()) + "\n"
        if self.fe:
            t = self.fe
            for k, v in event.items():
                t = t.replace("%" + k, v)
            return t
        t = event["ISODATE"] if self.iso else datetime.fromisoformat(event.get("ISODATE", event.get("DATE"))).strftime("%d.%m.%Y %H:%M:%S")
        return self._c(", ").join([self._c(t), event["PRIORITY"], self._c(event.get("type_" + lang, "")), event.get("name_" + lang, "")])
)PY";

int exec_module(PyObject* module) {
    if (nerit::py::init_fast_paths_switch(module) < 0) return -1;
    PyObject* globals = PyModule_GetDict(module);
    if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    nerit::py::Ref done = nerit::py::Ref::steal(PyRun_String(kPlaceholder, Py_file_input, globals, globals));
    return done ? 0 : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "nerit_record_console.record_layout", nullptr, 0, nullptr,
                          slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_record_layout() { return PyModuleDef_Init(&module_def); }
