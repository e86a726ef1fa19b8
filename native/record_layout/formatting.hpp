// One call's view of a formatter: its settings and class constants as Python code reads them
// through the instance, and the dispatch of the private steps to a Python override.
#pragma once

#include "record_layout/formatter_object.hpp"

namespace nerit::layout {

// Settings come from the instance's snapshot while the host's version tags vouch for it, and
// are otherwise read live, once per call. A call into Python code (an override) may change
// them, so every such call makes the next read check again.
class Formatting {
  public:
    Formatting(PyObject* self, LayoutState* state) noexcept : self_(self), state_(state) {}

    PyObject* self() const noexcept { return self_; }
    LayoutState& state() const noexcept { return *state_; }

    // Truth of the settings: 1 or 0, -1 with an error set.
    int no_color();
    int is_raw();
    int is_detailed();
    int use_iso_date();
    // Colour as __colorize decides it: neither no_color nor is_raw. -1 with an error set.
    int colour_on();
    // Whether LOCALE equals "ru_RU". -1 with an error set.
    int is_russian();
    // The stored format expression (new reference); empty with an error set when missing.
    Ref format_expression();
    // Truth of the stored format expression: 1 or 0, -1 with an error set.
    int has_expression();
    // Whether the settings come from the snapshot, so that reading them runs no code.
    bool settled() { return snapshot() != nullptr; }
    // The module's fast-path switch.
    bool fast_paths();
    // Whether the module's "datetime" is still the class imported at load (and the fast paths
    // are on), so that the native date reader may stand in for its fromisoformat.
    bool native_dates();
    // The colour constants; nullptr with an error set when missing. Borrowed for the call.
    PyObject* color_grey();
    PyObject* color_end();
    PyObject* color_ok();
    PyObject* color_fail();
    // COLOR_GREY and COLOR_END when `colour` is on, both left null when it is off; false with
    // an error set when one is missing.
    bool grey_pair(int colour, PyObject*& grey, PyObject*& end);

    // Whether the class's own native step still answers to that name on this instance.
    bool native_unpack();
    bool native_colorize();
    bool native_colorize_priority();
    bool native_with_expression();

    // The private steps, native or overridden. Empty Ref / false with an error set on failure.
    bool unpack(PyObject* event);
    Ref colorize(PyObject* string, PyObject* color);
    Ref colorize_priority(PyObject* priority);
    Ref with_expression(PyObject* event);

  private:
    const SettingsSnapshot* snapshot() { return checked_ ? snapshot_ : take_snapshot(); }
    const SettingsSnapshot* take_snapshot();
    void forget();
    int live_truth(PyObject* name, int& cache);
    PyObject* live_constant(PyObject* name, Ref& cache);

    PyObject* self_;
    LayoutState* state_;
    bool checked_ = false;
    const SettingsSnapshot* snapshot_ = nullptr;
    // Live readings, used when there is no snapshot.
    int no_color_ = -1;
    int is_raw_ = -1;
    int is_detailed_ = -1;
    int use_iso_date_ = -1;
    int russian_ = -1;
    Ref grey_;
    Ref end_;
    Ref ok_;
    Ref fail_;
};

// The native steps; each reads the formatter through `formatting`.
bool unpack_event_native(Formatting& formatting, PyObject* event);
Ref colorize_native(Formatting& formatting, PyObject* string, PyObject* color);
Ref colorize_priority_native(Formatting& formatting, PyObject* priority);
Ref expression_layout_native(Formatting& formatting, PyObject* event);
Ref keyed_layout(Formatting& formatting, PyObject* event);
Ref default_layout(Formatting& formatting, PyObject* event);
Ref format_event_native(Formatting& formatting, PyObject* event);

}  // namespace nerit::layout
