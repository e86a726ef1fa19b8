// The NeritEventViewer class: its instance layout, slots and methods (one file each).
#pragma once

#include "record_console/console_state.hpp"

namespace nerit::console {

// The instance layout of NeritEventViewer: everything else lives in the instance dictionary.
struct ViewerObject {
    // Managed by the generic attribute code through __dictoffset__ and __weaklistoffset__.
    PyObject_HEAD PyObject* dict;
    PyObject* weakreflist;
};

// Removes the temporary directory of a construction that failed, keeping the pending error.
void discard_temp_dir_after_failure(PyObject* self, const Context& ctx);

// Slots and methods of NeritEventViewer, one file each.
int viewer_init(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* viewer_setup_filters(PyObject* self, PyObject* unused);
PyObject* viewer_is_path_archive(PyObject* self, void* closure);
PyObject* viewer_extract_events_from_archive(PyObject* self, PyObject* unused);
PyObject* viewer_clean_temp_files(PyObject* self, PyObject* unused);
PyObject* viewer_show_events(PyObject* self, PyObject* unused);
PyObject* viewer_follow_events(PyObject* self, PyObject* unused);

// Creates the NeritEventViewer type for `module`.
py::Ref make_viewer_type(PyObject* module);

}  // namespace nerit::console
