// Probes of the date primitives: the native date search and ISO reading, as the iterator uses them.
#include "core/event_date.hpp"
#include "probe/probe.hpp"

#include <datetime.h>

namespace nerit::probe {

using py::Ref;

PyObject* isoparse(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "s#:isoparse", &data, &size)) return nullptr;
    auto date = core::parse_iso_datetime(std::string_view(data, static_cast<std::size_t>(size)));
    if (!date) Py_RETURN_NONE;
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (api == nullptr) return nullptr;
    return api->DateTime_FromDateAndTime(date->year, date->month, date->day, date->hour,
                                         date->minute, date->second, date->microsecond, Py_None,
                                         api->DateTimeType);
}

PyObject* find_date(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#:find_date", &data, &size)) return nullptr;
    std::string_view line(data, static_cast<std::size_t>(size));
    auto field = core::find_event_date(line);
    if (!field) Py_RETURN_NONE;
    std::string_view value = line.substr(field->begin, field->end - field->begin);
    return Py_BuildValue("(sy#)", field->iso_key ? "ISODATE" : "DATE", value.data(),
                         static_cast<Py_ssize_t>(value.size()));
}

PyObject* date_floor_passes_over(PyObject*, PyObject* args) {
    PyObject* bound = nullptr;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "Oy#:date_floor_passes_over", &bound, &data, &size)) return nullptr;
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (api == nullptr) return nullptr;
    if (!PyObject_TypeCheck(bound, api->DateTimeType)) {
        PyErr_SetString(PyExc_TypeError, "a datetime is needed");
        return nullptr;
    }
    core::DateFloor floor(core::NaiveDateTime{
        PyDateTime_GET_YEAR(bound), PyDateTime_GET_MONTH(bound), PyDateTime_GET_DAY(bound),
        PyDateTime_DATE_GET_HOUR(bound), PyDateTime_DATE_GET_MINUTE(bound),
        PyDateTime_DATE_GET_SECOND(bound), PyDateTime_DATE_GET_MICROSECOND(bound)});
    std::string_view line(data, static_cast<std::size_t>(size));
    return PyBool_FromLong(floor.passes_over(line));
}

}  // namespace nerit::probe
