// What attribute lookup finds for one iterator, kept between __next__ calls and trusted only while
// the instance dict, the class hierarchy and the dicts of the modules involved are unchanged (the
// guard layer says so).
#pragma once

#include <cstdint>

#include "core/event_date.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"

namespace nerit::record_source {

using py::Ref;

struct ModuleState;

// The host facilities and instance attributes that __next__ reads, as Python code would find
// them at this moment.
struct HostCalls {
    PyObject* module = nullptr;  // borrowed: the class keeps its module alive
    ModuleState* st = nullptr;
    bool fast = false;  // the module's _fast_paths switch
    Ref json_loads;
    bool loads_is_original = false;
    Ref file;  // self._file
    // Whether each filter hook is the base class's own; the sets its native tests read (empty
    // Refs when the tests must look them up themselves).
    bool native_filter_event = false;
    bool native_filter_priority = false;
    bool native_filter_source = false;
    Ref priority_filter;
    Ref source_filter;
    bool from_cache = false;
    std::uint64_t generation = 0;  // of the cache the values came from

    // Fills the fields; false with an error set when a lookup fails.
    bool load(PyObject* self);

    // Before a record is filtered: user code may have run since load() (a replaced json.loads,
    // a filter override), so re-reads the filter hooks when the cache no longer vouches for them.
    void refresh_filters(PyObject* self);
    // Before a line is decoded: user code that ran for an earlier line of the same call (the
    // decoder's error for a malformed line) may have replaced json.loads or a filter, so
    // everything is looked up again when the cache no longer vouches for it. False with an
    // error set when a lookup fails.
    bool refresh(PyObject* self);

  private:
    void load_filters_live(PyObject* self);
};

// The time-range iterator's date rules as lookup finds them.
struct DateLookups {
    Ref pattern;   // self.__date_regex_pattern
    Ref isoparse;  // dateutil.parser.isoparse
    Ref since;     // self.__date_since
    Ref until;     // self.__date_until
    bool native_search = false;
    bool native_parse = false;
    bool native_compare = false;
    core::NaiveDateTime since_value{};
    core::NaiveDateTime until_value{};
};

// What the last __next__ found, inside the iterator's native state, trusted while the guard says
// that nothing it was read from has changed.
struct LookupCache {
    // The iterator's class and instance dict, the module's dict and the dict of its json module.
    py::Guard guard;
    std::uint64_t generation = 0;  // counts builds, so a caller can tell its copy is current
    HostCalls calls;

    // Time-range part, filled on first use while the rest stays valid: the dicts of the plain
    // modules on the way to isoparse.
    py::Guard dates_guard;
    DateLookups dates;

    // True when everything above still describes `self`.
    bool matches(PyObject* self) { return guard.holds_for(self); }
    // True when the cache still describes `self` and `calls` was copied from this very build.
    bool vouches_for(PyObject* self, const HostCalls& copy) {
        return copy.from_cache && copy.generation == generation && matches(self);
    }
    // True when the date part also still holds (call only after matches()).
    bool dates_match() { return dates_guard.holds(); }
    // Forgets what was found; the stamps stay to be renewed by the next build.
    void forget();
    void clear();
    int traverse(visitproc visit, void* arg) const;
};

// The value generic attribute lookup finds for `name` on an instance whose class defines
// nothing of that name: the instance dict's entry (borrowed); nullptr when the class defines the
// name or the dict lacks it, i.e. when only a live lookup can tell.
PyObject* instance_entry(PyTypeObject* type, PyObject* dict, PyObject* name);

}  // namespace nerit::record_source
