// Module initialisation of nerit_record_console.record_source (TEMP placeholder classes for console development).
#include "py/host.hpp"

namespace {

constexpr const char* kPlaceholder = R"PY(
import json, re, time
from datetime import datetime
from pathlib import Path
from typing import Dict, Union, List
import dateutil.parser
NeritEvent = Dict[str, Union[str, Dict[str, Dict[str, str]]]]
NeritEvents = List[NeritEvent]
class NeritEventIterator:
    def __init__(self, event_file_path):
        self._file_path = event_file_path
        self._file = event_file_path.open()
        self.__p, self.__s = set(), set()
    def __iter__(self):
        return self
    def __next__(self):
        return None
    def set_priority_filter(self, priority_filter):
        self.__p = set(priority_filter)
    def set_source_filter(self, source_filter):
        self.__s = set(source_filter)
    def _filter_event(self, e):
        if self.__p and e["PRIORITY"] not in self.__p:
            return False
        return not self.__s or any(s in next(iter(e["MSG"]), "") for s in self.__s)
    def _decode(self, line):
        try:
            e = json.loads(line)
        except json.decoder.JSONDecodeError:
            return None
        return e if self._filter_event(e) else None
class NeritAllEventsIterator(NeritEventIterator):
    def __next__(self):
        while True:
            line = self._file.readline()
            if not line:
                self._file.close()
                raise StopIteration
            e = self._decode(line)
            if e is not None:
                return e
class NeritTimeRangeEventIterator(NeritEventIterator):
    def __init__(self, event_file_path, date_since=None, date_until=None):
        super().__init__(event_file_path)
        self._re = re.compile(r'"(ISODATE|DATE)":"([^"]+)"')
        self._since = dateutil.parser.parse(date_since) if date_since else datetime.min
        u = dateutil.parser.parse(date_until) if date_until else datetime.max
        if u.time() == datetime.min.time():
            u = u.replace(hour=23, minute=59, second=59)
        self._until = u
    def __next__(self):
        while True:
            line = self._file.readline()
            if not line:
                break
            m = self._re.search(line)
            if not m:
                continue
            d = dateutil.parser.isoparse(m.group(2)).replace(tzinfo=None)
            if d < self._since:
                continue
            if d > self._until:
                break
            e = self._decode(line)
            if e is not None:
                return e
        self._file.close()
        raise StopIteration
class NeritRecentEventIterator(NeritEventIterator):
    def __init__(self, event_file_path, count):
        super().__init__(event_file_path)
        lines = [l for l in self._file.read().splitlines(True) if l.endswith("\n")]
        self._lines = lines[-count:] if count > 0 else []
    def __next__(self):
        while self._lines:
            e = self._decode(self._lines.pop(0))
            if e is not None:
                return e
        raise StopIteration
class NeritNewEventIterator(NeritEventIterator):
    def __init__(self, event_file_path):
        super().__init__(event_file_path)
        self._file.seek(0, 2)
    def __next__(self):
        while True:
            line = self._file.readline()
            if not line:
                time.sleep(1)
                continue
            e = self._decode(line)
            if e is not None:
                return e
    def close(self):
        self._file.close()
)PY";

int exec_module(PyObject* module) {
    if (nerit::py::init_fast_paths_switch(module) < 0) return -1;
    PyObject* globals = PyModule_GetDict(module);
    if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    nerit::py::Ref done = nerit::py::Ref::steal(PyRun_String(kPlaceholder, Py_file_input, globals, globals));
    return done ? 0 : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "nerit_record_console.record_source", nullptr, 0, nullptr,
                          slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_record_source() { return PyModuleDef_Init(&module_def); }
