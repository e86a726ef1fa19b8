// NeritTimeRangeEventIterator: events dated within inclusive bounds, found in the raw line.
#include "core/event_date.hpp"
#include "py/host.hpp"
#include "record_source/line_source.hpp"

namespace nerit::record_source {
namespace {

constexpr const char* kDatePattern = "\"(ISODATE|DATE)\":\"([^\"]+)\"";

// Argument check of a text-or-None parameter, before the constructor does anything else.
bool text_or_none(PyObject* value, const char* name) {
    if (value == Py_None || PyUnicode_CheckExact(value)) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, "str",
                 Py_TYPE(value)->tp_name);
    return false;
}

// dateutil.parser.<name> reached through the module's dateutil.
Ref dateutil_function(PyObject* module, ModuleState* st, PyObject* name) {
    Ref dateutil = module_global(module, st->names.dateutil.get());
    if (!dateutil) return dateutil;
    Ref parser = py::getattr(dateutil.get(), st->names.parser.get());
    if (!parser) return parser;
    return py::getattr(parser.get(), name);
}

// `dateutil.parser.parse(text) if text else datetime.<fallback>`.
Ref bound_from_text(PyObject* module, ModuleState* st, PyObject* text, PyObject* fallback) {
    int given = text == Py_None ? 0 : PyObject_IsTrue(text);
    if (given < 0) return Ref();
    if (given) {
        Ref parse = dateutil_function(module, st, st->names.parse.get());
        if (!parse) return parse;
        return Ref::steal(PyObject_CallOneArg(parse.get(), text));
    }
    Ref datetime = module_global(module, st->names.datetime.get());
    if (!datetime) return datetime;
    return py::getattr(datetime.get(), fallback);
}

int range_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {const_cast<char*>("event_file_path"), const_cast<char*>("date_since"),
                        const_cast<char*>("date_until"), nullptr};
    PyObject* path = nullptr;
    PyObject* since_text = Py_None;
    PyObject* until_text = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:__init__", keywords, &path, &since_text,
                                     &until_text)) {
        return -1;
    }
    if (!text_or_none(since_text, "date_since") || !text_or_none(until_text, "date_until"))
        return -1;
    PyObject* module = module_of(self);
    if (module == nullptr) return -1;
    ModuleState* st = state_of_module(module);
    if (base_init_steps(self, st, path) < 0) return -1;

    Ref re = module_global(module, st->names.re.get());
    if (!re) return -1;
    Ref compile = py::getattr(re.get(), st->names.compile.get());
    if (!compile) return -1;
    Ref pattern = Ref::steal(PyObject_CallFunction(compile.get(), "s", kDatePattern));
    if (!pattern || PyObject_SetAttr(self, st->names.date_regex.get(), pattern.get()) < 0)
        return -1;
    // Only a pattern from the genuine re.compile may be searched natively.
    as_iterator(self)->native->date_pattern =
        compile.is(st->re_compile.get()) ? std::move(pattern) : Ref();

    Ref since = bound_from_text(module, st, since_text, st->names.min.get());
    if (!since || PyObject_SetAttr(self, st->names.date_since.get(), since.get()) < 0) return -1;
    Ref until = bound_from_text(module, st, until_text, st->names.max.get());
    if (!until) return -1;
    Ref adjusted =
        Ref::steal(PyObject_CallMethodOneArg(self, st->names.adjust_end_date.get(), until.get()));
    if (!adjusted) return -1;
    return PyObject_SetAttr(self, st->names.date_until.get(), adjusted.get());
}

PyObject* range_init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return range_init(self, args, kwargs) < 0 ? nullptr : py::none();
}

// Bound to the class (its `self`), so that it is named as a function defined in the class
// body, and wrapped as a static method of the class.
PyObject* adjust_end_date(PyObject* cls, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {const_cast<char*>("date_until"), nullptr};
    PyObject* date_until = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__adjust_end_date", keywords,
                                     &date_until)) {
        return nullptr;
    }
    PyObject* module = PyType_GetModule(reinterpret_cast<PyTypeObject*>(cls));
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of_module(module);
    Ref time_of_day = Ref::steal(PyObject_CallMethodNoArgs(date_until, st->names.time.get()));
    if (!time_of_day) return nullptr;
    Ref datetime = module_global(module, st->names.datetime.get());
    if (!datetime) return nullptr;
    Ref earliest = py::getattr(datetime.get(), st->names.min.get());
    if (!earliest) return nullptr;
    Ref midnight = Ref::steal(PyObject_CallMethodNoArgs(earliest.get(), st->names.time.get()));
    if (!midnight) return nullptr;
    int at_midnight = PyObject_RichCompareBool(time_of_day.get(), midnight.get(), Py_EQ);
    if (at_midnight < 0) return nullptr;
    if (!at_midnight) return Ref::borrow(date_until).release();
    Ref replace = py::getattr(date_until, st->names.replace.get());
    if (!replace) return nullptr;
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref changes = Ref::steal(Py_BuildValue("{O:i,O:i,O:i}", st->names.hour.get(), 23,
                                           st->names.minute.get(), 59, st->names.second.get(), 59));
    if (!no_args || !changes) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), changes.get());
}

constexpr const char* kAdjustEndDateKey = "_NeritTimeRangeEventIterator__adjust_end_date";

PyMethodDef adjust_end_date_def = {
    "__adjust_end_date", cfunction(adjust_end_date), METH_VARARGS | METH_KEYWORDS,
    "__adjust_end_date($type, /, date_until)\n--\n\n"
    "\n        If 'date_until' lacks a time, set it to 23:59:59 to include the full day's events.\n"
    "        :param date_until:\n        :return: Adjusted datetime object.\n        "};

// A bound as native fields when it is an exact datetime without time zone.
bool native_bound(ModuleState* st, PyObject* value, core::NaiveDateTime& out) {
    if (!Py_IS_TYPE(value, st->datetime_api->DateTimeType)) return false;
    if (PyDateTime_DATE_GET_TZINFO(value) != Py_None) return false;
    out = {PyDateTime_GET_YEAR(value),
           PyDateTime_GET_MONTH(value),
           PyDateTime_GET_DAY(value),
           PyDateTime_DATE_GET_HOUR(value),
           PyDateTime_DATE_GET_MINUTE(value),
           PyDateTime_DATE_GET_SECOND(value),
           PyDateTime_DATE_GET_MICROSECOND(value)};
    return true;
}

// The module holding `name` in its own dict (a plain module), with that entry; nullptr when
// only a live lookup can tell.
PyObject* plain_module_entry(PyObject* owner, PyObject* name) {
    if (owner == nullptr || !PyModule_CheckExact(owner)) return nullptr;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(owner), name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

// Keeps `dates` in the cache when every value in it is one that a guard covers.
void store_dates(PyObject* self, const HostCalls& host, const DateLookups& dates) {
    LookupCache& cache = as_iterator(self)->native->lookups;
    if (!cache.vouches_for(self, host)) return;
    ModuleState* st = host.st;
    PyObject* dateutil = py::module_global(host.module, st->names.dateutil.get());
    PyObject* parser = plain_module_entry(dateutil, st->names.parser.get());
    if (parser == nullptr ||
        plain_module_entry(parser, st->names.isoparse.get()) != dates.isoparse.get())
        return;
    PyTypeObject* type = Py_TYPE(self);
    PyObject* dict = py::Guard::instance_dict_of(self);
    if (instance_entry(type, dict, st->names.date_regex.get()) != dates.pattern.get() ||
        instance_entry(type, dict, st->names.date_since.get()) != dates.since.get() ||
        instance_entry(type, dict, st->names.date_until.get()) != dates.until.get() ||
        !cache.matches(self)) {
        return;
    }
    py::Guard& guard = cache.dates_guard;
    guard.restart();
    guard.add_module(st->watchers, dateutil);
    guard.add_module(st->watchers, parser);
    if (!guard.arm()) return;
    cache.dates = dates;
}

// What one __next__ call needs to judge a line's date, from the cache while it holds.
bool load_dates(PyObject* self, const HostCalls& host, DateLookups& rules) {
    LookupCache& cache = as_iterator(self)->native->lookups;
    if (cache.vouches_for(self, host) && cache.dates_match()) {
        rules = cache.dates;
        return true;
    }
    ModuleState* st = host.st;
    rules.pattern = py::getattr(self, st->names.date_regex.get());
    if (!rules.pattern) return false;
    rules.isoparse = dateutil_function(host.module, st, st->names.isoparse.get());
    if (!rules.isoparse) return false;
    rules.since = py::getattr(self, st->names.date_since.get());
    if (!rules.since) return false;
    rules.until = py::getattr(self, st->names.date_until.get());
    if (!rules.until) return false;
    PyObject* own_pattern = as_iterator(self)->native->date_pattern.get();
    rules.native_search = host.fast && own_pattern != nullptr && rules.pattern.is(own_pattern);
    rules.native_parse = host.fast && rules.isoparse.is(st->isoparse.get());
    rules.native_compare = host.fast && native_bound(st, rules.since.get(), rules.since_value) &&
                           native_bound(st, rules.until.get(), rules.until_value);
    store_dates(self, host, rules);
    return true;
}

// isoparse(text).replace(tzinfo=None) with the host's parser.
Ref host_event_date(ModuleState* st, DateLookups& rules, PyObject* text) {
    Ref parsed = Ref::steal(PyObject_CallOneArg(rules.isoparse.get(), text));
    if (!parsed) return parsed;
    PyObject* call_args[] = {parsed.get(), Py_None};
    return Ref::steal(
        PyObject_VectorcallMethod(st->names.replace.get(), call_args, 1, st->tzinfo_keyword.get()));
}

Verdict compare_objects(DateLookups& rules, PyObject* event_date) {
    int after_start = PyObject_RichCompareBool(rules.since.get(), event_date, Py_LE);
    if (after_start < 0) return Verdict::error;
    if (!after_start) return Verdict::skip;
    int before_end = PyObject_RichCompareBool(event_date, rules.until.get(), Py_LE);
    if (before_end < 0) return Verdict::error;
    return before_end ? Verdict::in_range : Verdict::past_end;
}

// Judges one line by its date: no date or too early (skip), in range, or past the end.
Verdict judge_line(HostCalls& host, DateLookups& rules, LineText& line) {
    ModuleState* st = host.st;
    std::string_view utf8 = line.utf8;
    bool have_utf8 = line.object == nullptr;
    if (rules.native_search && !have_utf8 && PyUnicode_CheckExact(line.object)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(line.object, &size);
        if (data != nullptr) {
            utf8 = std::string_view(data, static_cast<std::size_t>(size));
            have_utf8 = true;
        } else {
            PyErr_Clear();
        }
    }
    if (rules.native_search && have_utf8) {
        std::optional<core::DateField> field = core::find_event_date(utf8);
        if (!field) return Verdict::skip;
        std::string_view value = utf8.substr(field->begin, field->end - field->begin);
        std::optional<core::NaiveDateTime> date;
        if (rules.native_parse) date = core::parse_iso_datetime(value);
        if (date && rules.native_compare) {
            if (!(rules.since_value <= *date)) return Verdict::skip;
            return *date <= rules.until_value ? Verdict::in_range : Verdict::past_end;
        }
        Ref event_date;
        Ref text;
        if (!date) {
            text = Ref::steal(PyUnicode_DecodeUTF8(
                value.data(), static_cast<Py_ssize_t>(value.size()), "strict"));
            if (!text) return Verdict::error;
        }
        if (!hold_as_text(line)) return Verdict::error;
        if (date) {
            PyDateTime_CAPI* api = st->datetime_api;
            event_date = Ref::steal(api->DateTime_FromDateAndTime(
                date->year, date->month, date->day, date->hour, date->minute, date->second,
                date->microsecond, Py_None, api->DateTimeType));
        } else {
            event_date = host_event_date(st, rules, text.get());
        }
        if (!event_date) return Verdict::error;
        return compare_objects(rules, event_date.get());
    }
    if (!hold_as_text(line)) return Verdict::error;
    Ref match = Ref::steal(
        PyObject_CallMethodOneArg(rules.pattern.get(), st->names.search.get(), line.object));
    if (!match) return Verdict::error;
    int found = PyObject_IsTrue(match.get());
    if (found < 0) return Verdict::error;
    if (!found) return Verdict::skip;
    Ref group = Ref::steal(PyLong_FromLong(2));
    if (!group) return Verdict::error;
    Ref value =
        Ref::steal(PyObject_CallMethodOneArg(match.get(), st->names.group.get(), group.get()));
    if (!value) return Verdict::error;
    Ref event_date = host_event_date(st, rules, value.get());
    if (!event_date) return Verdict::error;
    return compare_objects(rules, event_date.get());
}

}  // namespace

PyObject* range_step(PyObject* self, py::LineOffer* offer) {
    HostCalls host;
    if (!host.load(self)) return nullptr;
    DateLookups rules;
    if (!load_dates(self, host, rules)) return nullptr;
    // While every rule is the module's own, the lines before the lower bound are passed over
    // without leaving the reader.
    std::optional<core::DateFloor> floor;
    if (rules.native_search && rules.native_parse && rules.native_compare)
        floor.emplace(rules.since_value);
    return next_from_file(
        self, host, [&](LineText& line) { return judge_line(host, rules, line); },
        floor ? &*floor : nullptr, offer);
}

PyObject* range_next(PyObject* self) {
    return range_step(self, nullptr);
}

int range_pass_ready(PyObject* self, HostCalls& host, const py::Watchers& watchers,
                     py::Guard& guard) {
    DateLookups rules;
    if (!load_dates(self, host, rules)) return -1;
    if (!rules.native_search || !rules.native_parse || !rules.native_compare) return 0;
    // The way to isoparse, which the rules were found through, must stay as it is.
    ModuleState* st = host.st;
    PyObject* dateutil = py::module_global(host.module, st->names.dateutil.get());
    PyObject* parser = plain_module_entry(dateutil, st->names.parser.get());
    if (parser == nullptr ||
        plain_module_entry(parser, st->names.isoparse.get()) != rules.isoparse.get()) {
        PyErr_Clear();
        return 0;
    }
    guard.add_module(watchers, dateutil);
    guard.add_module(watchers, parser);
    return 1;
}

namespace {

PyMethodDef range_methods[] = {
    {"__init__", cfunction(range_init_method), METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
     "__init__($self, /, event_file_path, date_since=None, date_until=None)\n--\n\n"
     "Open the event file and read the bounds; a bare date as the end takes in its whole day."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* make_time_range_type(PyObject* module, PyObject* base) {
    PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},

        {Py_tp_doc,
         const_cast<char*>("Iterate over events occurring within a specific time range.")},
        {Py_tp_init, reinterpret_cast<void*>(range_init)},
        {Py_tp_iternext, reinterpret_cast<void*>(range_next)},
        {Py_tp_methods, range_methods},
        {0, nullptr}};
    PyType_Spec spec = {"nerit_record_console.record_source.NeritTimeRangeEventIterator", 0, 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, base));
    if (!type) return nullptr;
    Ref module_name = py::getattr(module, "__name__");
    if (!module_name) return nullptr;
    Ref function =
        Ref::steal(PyCFunction_NewEx(&adjust_end_date_def, type.get(), module_name.get()));
    if (!function) return nullptr;
    // Called as the @staticmethod decorator is, so that the descriptor carries the function's
    // __doc__, __name__, __qualname__, __module__ and __wrapped__ (PyStaticMethod_New does not).
    Ref method = Ref::steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function.get()));
    if (!method) return nullptr;
    if (PyObject_SetAttrString(type.get(), kAdjustEndDateKey, method.get()) < 0) {
        return nullptr;
    }
    return type.release();
}

}  // namespace nerit::record_source
