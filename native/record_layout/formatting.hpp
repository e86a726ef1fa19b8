// One call's view of a formatter: its settings and class constants read through the instance
// as Python code reads them, and the dispatch of the private steps to a Python override.
#pragma once

#include "record_layout/layout_state.hpp"

namespace nerit::layout {

// Settings are read on first use and kept for the rest of the call; a call into Python code
// (an override) may change them, so every such call forgets what was read.
class Formatting {
  public:
    Formatting(PyObject* self, LayoutState* state) noexcept : self_(self), state_(state) {}

    PyObject* self() const noexcept { return self_; }
    LayoutState& state() const noexcept { return *state_; }

    // Truth of the settings: 1 or 0, -1 with an error set.
    int no_color() { return truth(state_->attr_no_color, no_color_); }
    int is_raw() { return truth(state_->attr_is_raw, is_raw_); }
    int is_detailed() { return truth(state_->attr_is_detailed, is_detailed_); }
    int use_iso_date() { return truth(state_->attr_use_iso_date, use_iso_date_); }
    // Colour as __colorize decides it: neither no_color nor is_raw. -1 with an error set.
    int colour_on();
    // Whether LOCALE equals "ru_RU". -1 with an error set.
    int is_russian();
    // The module's fast-path switch.
    bool fast_paths() const;
    // COLOR_GREY and COLOR_END, read once per call; empty with an error set when missing.
    PyObject* color_grey() { return constant(state_->attr_color_grey, grey_); }
    PyObject* color_end() { return constant(state_->attr_color_end, end_); }

    // Whether the class's own native step still answers to that name on this instance.
    bool native_unpack() const { return native(state_->attr_unpack, state_->native_unpack); }
    bool native_colorize() const { return native(state_->attr_colorize, state_->native_colorize); }
    bool native_colorize_priority() const {
        return native(state_->attr_colorize_priority, state_->native_colorize_priority);
    }
    bool native_with_expression() const {
        return native(state_->attr_with_expression, state_->native_with_expression);
    }

    // The private steps, native or overridden. Empty Ref / false with an error set on failure.
    bool unpack(PyObject* event);
    Ref colorize(PyObject* string, PyObject* color);
    Ref colorize_priority(PyObject* priority);
    Ref with_expression(PyObject* event);

    // Drops every setting read so far (Python code ran and may have changed them).
    void forget();

  private:
    int truth(PyObject* name, int& cache);
    PyObject* constant(PyObject* name, Ref& cache);
    bool native(PyObject* name, PyObject* descriptor) const {
        return py::resolves_to(self_, name, descriptor);
    }

    PyObject* self_;
    LayoutState* state_;
    int no_color_ = -1;
    int is_raw_ = -1;
    int is_detailed_ = -1;
    int use_iso_date_ = -1;
    int russian_ = -1;
    Ref grey_;
    Ref end_;
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
