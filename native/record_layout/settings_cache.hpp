// A formatter's settings as attribute lookup would find them, kept in the instance between
// calls and trusted only while the instance dict, the class hierarchy and the module dict are
// unchanged (the host's version tags say so).
#pragma once

#include <cstdint>

#include "record_layout/layout_state.hpp"

namespace nerit::layout {

// Values of one consistent reading. Only values whose truth cannot change behind our back
// (str, bool, None, int, float) are kept; anything else makes the formatter read live.
struct SettingsSnapshot {
    bool no_color;
    bool is_raw;
    bool is_detailed;
    bool use_iso_date;
    bool russian;
    bool has_expression;
    bool native_unpack;
    bool native_colorize;
    bool native_colorize_priority;
    bool native_with_expression;
    bool fast_paths;
    bool original_datetime;
    // Borrowed from the cache, which owns them.
    PyObject* format_expression;
    PyObject* color_ok;
    PyObject* color_fail;
    PyObject* color_grey;
    PyObject* color_end;
};

// Plain data inside the instance (zeroed by the allocator); the object's clear slot calls
// release().
struct SettingsCache {
    PyObject* instance_dict;  // identity only, not owned
    std::uint64_t dict_version;
    std::uint64_t module_dict_version;
    unsigned int type_version;
    PyTypeObject* type;  // identity only, not owned
    bool valid;
    SettingsSnapshot snapshot;
    PyObject* owned[5];  // format_expression and the four colours

    // The snapshot valid for `self` now, rebuilding it when something changed; nullptr when
    // the settings must be read live (an unusual attribute, a descriptor, a custom getattr).
    const SettingsSnapshot* current(PyObject* self, LayoutState& state);
    void release();
    int traverse(visitproc visit, void* arg);
};

}  // namespace nerit::layout
