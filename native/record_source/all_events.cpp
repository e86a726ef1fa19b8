// NeritAllEventsIterator: every accepted event from the first line to the last.
#include "record_source/line_source.hpp"

namespace nerit::record_source {

PyObject* all_events_step(PyObject* self, py::LineOffer* offer) {
    HostCalls host;
    if (!host.load(self)) return nullptr;
    return next_from_file(
        self, host, [](const LineText&) { return Verdict::in_range; }, nullptr, offer,
        /*lines_checked=*/false);
}

PyObject* all_events_next(PyObject* self) {
    return all_events_step(self, nullptr);
}

PyObject* make_all_events_type(PyObject* module, PyObject* base) {
    PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
                           {Py_tp_doc, const_cast<char*>("Iterate over all events.")},
                           {Py_tp_iternext, reinterpret_cast<void*>(all_events_next)},
                           {0, nullptr}};
    PyType_Spec spec = {"nerit_record_console.record_source.NeritAllEventsIterator", 0, 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return PyType_FromModuleAndSpec(module, &spec, base);
}

}  // namespace nerit::record_source
