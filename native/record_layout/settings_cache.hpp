// A formatter's settings as attribute lookup would find them, kept in the instance between
// calls and trusted while its guard holds: the instance dict, the class hierarchy (class
// constants included) and the module dict unchanged.
#pragma once

#include "py/guard.hpp"
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

// The objects a snapshot points to, owned by the cache.
#define NERIT_SETTINGS_REFS(X) \
    X(format_expression) X(color_ok) X(color_fail) X(color_grey) X(color_end)

class SettingsCache {
  public:
    // The snapshot valid for `self` now, rebuilding it when something changed; nullptr when
    // the settings must be read live (an unusual attribute, a descriptor, a custom getattr).
    const SettingsSnapshot* current(PyObject* self, LayoutState& state) {
        return guard_.holds_for(self) ? &snapshot_ : rebuild(self, state);
    }
    void clear();
    int traverse(visitproc visit, void* arg) const;

  private:
    const SettingsSnapshot* rebuild(PyObject* self, LayoutState& state);

    py::Guard guard_;
    SettingsSnapshot snapshot_{};
    struct Held {
        NERIT_STATE_TABLE(NERIT_STATE_NONE, NERIT_SETTINGS_REFS)
    } held_;
};

}  // namespace nerit::layout
