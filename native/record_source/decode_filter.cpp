// The decode-and-filter step shared by all iterators.
#include "py/host.hpp"
#include "py/json_build.hpp"
#include "record_source/decode_filter.hpp"
#include "record_source/iterator_object.hpp"
#include "record_source/state.hpp"

namespace nerit::record_source {

Ref module_global(PyObject* module, PyObject* name) {
    PyObject* value = py::module_global(module, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return Ref();
    }
    return Ref::borrow(value);
}

bool hold_as_text(LineText& line) {
    if (line.object != nullptr) return true;
    if (!python_may_run(line)) return false;
    line.held = Ref::steal(PyUnicode_DecodeUTF8(
        line.utf8.data(), static_cast<Py_ssize_t>(line.utf8.size()), "strict"));
    line.object = line.held.get();
    return static_cast<bool>(line.held);
}

namespace {

// `except json.decoder.JSONDecodeError:` evaluated when an error is pending: true (error
// cleared) when it matches, false with the error (or a failed look-up's error) left set.
bool swallow_json_error(PyObject* module, ModuleState* st) {
    py::compat::RaisedError raised = py::compat::RaisedError::fetch();
    Ref json = module_global(module, st->names.json.get());
    if (!json) return false;
    Ref decoder = py::getattr(json.get(), st->names.decoder.get());
    if (!decoder) return false;
    Ref error_class = py::getattr(decoder.get(), st->names.json_decode_error.get());
    if (!error_class) return false;
    if (raised.matches(error_class.get())) return true;
    raised.restore();
    return false;
}

Ref decode_json(PyObject* self, HostCalls& host, const LineText& line) {
    if (host.fast && host.loads_is_original) {
        py::KeyCache* keys = &as_iterator(self)->native->json_keys;
        Ref value = line.object != nullptr ? py::json_decode_fast(line.object, keys)
                                           : py::json_decode_fast(line.utf8, keys);
        if (value || PyErr_Occurred()) return value;
    }
    if (line.object != nullptr)
        return Ref::steal(PyObject_CallOneArg(host.json_loads.get(), line.object));
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(
        line.utf8.data(), static_cast<Py_ssize_t>(line.utf8.size()), "strict"));
    if (!text) return text;
    return Ref::steal(PyObject_CallOneArg(host.json_loads.get(), text.get()));
}

}  // namespace

int decode_and_filter(PyObject* self, HostCalls& host, const LineText& line, Ref& record) {
    Ref value = decode_json(self, host, line);
    if (value) {
        Ref verdict = Ref::steal(call_filter_event(self, host, value.get()));
        if (verdict) {
            int accepted = PyObject_IsTrue(verdict.get());
            if (accepted > 0) {
                record = std::move(value);
                return 1;
            }
            if (accepted == 0) return 0;
        }
    }
    return swallow_json_error(host.module, host.st) ? 0 : -1;
}

}  // namespace nerit::record_source
