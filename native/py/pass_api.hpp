// The boundary between the three modules for the native print loop: record_console runs the
// loop, record_source owns the reader state of its iterators and record_layout the settings of
// its formatter. Each of those two publishes a table of functions in a capsule (as the host's
// datetime module does); the modules are built together, so the table may carry C++ types.
#pragma once

#include <string_view>

#include "core/event_filter.hpp"
#include "core/event_layout.hpp"
#include "py/guard.hpp"

namespace nerit::py {

// What a native pass offers each line it selects before decoding it. Filled by the loop's
// owner; the iterator's step calls it.
struct LineOffer {
    // The line's bytes without its line end: 1 when the native path took it (printed it or
    // dropped it), 0 when the line must be decoded and handled the host's way, -1 with an error
    // set. `take` may set `stop` to end the step after this line.
    int (*take)(LineOffer* offer, std::string_view line) = nullptr;
    // Called before Python code may run during the step (a date the native reader declines, a
    // line decoded the host's way): the owner hands on what it holds. -1 with an error set.
    int (*before_python)(LineOffer* offer) = nullptr;
    bool stop = false;        // set by `take`: the step returns after the line
    bool python_ran = false;  // set by the step once it called `before_python`
};

// How one step of a native pass ended.
enum class StepEnd {
    record,  // a line the offer declined decoded to an accepted record: print it the host's way
    paused,  // the offer asked to stop, or Python code ran: check again before going on
    end,     // the iterator is exhausted (its file closed as its __next__ would close it)
    error,   // an error is set, at the line where __next__ would have raised it
};

inline constexpr const char* kSourcePassCapsule =
    "nerit_record_console.record_source._native_pass";
inline constexpr const char* kLayoutPassCapsule =
    "nerit_record_console.record_layout._native_pass";

struct SourcePassApi {
    // 1 when a native pass may read `iterator` now: one of the module's reading classes, exactly,
    // with its own __next__ and filter methods, its own file readable below the file object as
    // UTF-8, the module's own JSON decoder and date rules, and the fast paths on. Fills `filters`
    // from its filter sets and stamps on `guard` what that answer was read from. 0 when not (no
    // error set), -1 with an error set.
    int (*prepare)(PyObject* iterator, const Watchers& watchers, Guard& guard,
                   core::EventFilters& filters);
    // One step of `iterator`'s __next__ with `offer`: lines the offer takes are consumed without
    // a record; a declined line is decoded and filtered as __next__ would, and an accepted
    // record is returned (new reference) with StepEnd::record.
    StepEnd (*step)(PyObject* iterator, LineOffer& offer, PyObject** record);
    // The filter sets of an iterator `prepare` accepted, read again (Python code may change a
    // set without changing any dict): 1 with `filters` filled, 0 when they are no longer plain
    // sets of str (no error set).
    int (*filters)(PyObject* iterator, core::EventFilters& filters);
};

struct LayoutPassApi {
    // 1 when `formatter` is exactly the module's formatter class, with its own methods, the
    // module's own date class, fast paths on and settings a native layout writes; fills
    // `settings` and stamps on `guard` what they were read from. 0 when not (no error set), -1
    // with an error set.
    int (*prepare)(PyObject* formatter, const Watchers& watchers, Guard& guard,
                   core::LayoutSettings& settings);
};

// Publishes `api` (which must outlive the module) as the module attribute `_native_pass`.
inline bool publish_pass_api(PyObject* module, const char* capsule_name, void* api) {
    Ref capsule = Ref::steal(PyCapsule_New(api, capsule_name, nullptr));
    return capsule && PyModule_AddObjectRef(module, "_native_pass", capsule.get()) == 0;
}

// The table published under `capsule_name` (the owning module is imported); nullptr with an
// error set when it cannot be had.
template <class Api>
const Api* import_pass_api(const char* capsule_name) {
    return static_cast<const Api*>(PyCapsule_Import(capsule_name, 0));
}

}  // namespace nerit::py
