// The order of the formatting steps: lift, colour the priority, then pick the layout.
#include "record_layout/formatting.hpp"

namespace nerit::layout {

Ref format_event_native(Formatting& formatting, PyObject* event) {
    LayoutState& state = formatting.state();
    if (!formatting.unpack(event)) return Ref();

    const int off = formatting.no_color();
    if (off < 0) return Ref();
    if (!off) {
        const int raw = formatting.is_raw();
        if (raw < 0) return Ref();
        if (!raw) {
            const bool plain_dict = PyDict_CheckExact(event);
            PyObject* key = state.key_priority.get();
            Ref priority;
            if (plain_dict) {
                priority = Ref::borrow(PyDict_GetItemWithError(event, key));
                if (!priority && !PyErr_Occurred()) py::raise_key_error(key);
            } else {
                priority = Ref::steal(PyObject_GetItem(event, key));
            }
            if (!priority) return priority;
            Ref coloured = formatting.colorize_priority(priority.get());
            if (!coloured) return coloured;
            // The native step gives an uncoloured priority back as the same object, and runs no
            // code that could change the event: storing it again would change nothing in an
            // exact dict.
            const bool unchanged =
                plain_dict && coloured.is(priority.get()) && formatting.native_colorize_priority();
            if (!unchanged &&
                (plain_dict ? PyDict_SetItem(event, key, coloured.get())
                            : PyObject_SetItem(event, key, coloured.get())) < 0) {
                return Ref();
            }
        }
    }

    int keyed = formatting.is_detailed();
    if (keyed == 0) keyed = formatting.is_raw();
    if (keyed < 0) return Ref();
    if (keyed) return keyed_layout(formatting, event);

    const int has_expression = formatting.has_expression();
    if (has_expression < 0) return Ref();
    if (has_expression) return formatting.with_expression(event);
    return default_layout(formatting, event);
}

}  // namespace nerit::layout
