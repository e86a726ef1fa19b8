// The NeritEventViewer heap type: layout, garbage-collector support and the method table.
#include <cstddef>
#include <utility>

#include "record_console/viewer.hpp"

#include <structmember.h>

namespace nerit::console {

namespace {

using py::Ref;

int viewer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ViewerObject*>(self)->dict);
    return 0;
}

int viewer_clear(PyObject* self) {
    // The field is managed by the generic attribute code through __dictoffset__, so it stays a
    // raw pointer; taking it into a Ref releases it here.
    Ref dict = Ref::steal(std::exchange(reinterpret_cast<ViewerObject*>(self)->dict, nullptr));
    return 0;
}

void viewer_dealloc(PyObject* self) {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<ViewerObject*>(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    viewer_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* viewer_init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return viewer_init(self, args, kwargs) < 0 ? nullptr : py::none();
}

PyObject* viewer_is_path_archive_getter(PyObject*, PyObject* self) {
    return viewer_is_path_archive(self, nullptr);
}

PyMethodDef is_path_archive_def = {"_NeritEventViewer__is_path_archive",
                                   viewer_is_path_archive_getter, METH_O,
                                   "True when the input path ends in a report-archive suffix."};

PyMethodDef viewer_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(viewer_init_method)),
     METH_VARARGS | METH_KEYWORDS | METH_COEXIST, "__init__($self, /, args)\n--\n\n"
     "Build the iterator and the formatter that the option record asks for."},
    {"_NeritEventViewer__setup_filters", viewer_setup_filters, METH_NOARGS,
     "_NeritEventViewer__setup_filters($self, /)\n--\n\nHand the stored priority and source filters to the current iterator."},
    {"_NeritEventViewer__extract_events_from_archive", viewer_extract_events_from_archive,
     METH_NOARGS,
     "_NeritEventViewer__extract_events_from_archive($self, /)\n--\n\n"
     "Unpack the event log of a report archive into the temporary directory."},
    {"_NeritEventViewer__clean_temp_files", viewer_clean_temp_files, METH_NOARGS,
     "_NeritEventViewer__clean_temp_files($self, /)\n--\n\n"
     "Remove the temporary directory of an archive input, if there is one."},
    {"show_events", viewer_show_events, METH_NOARGS,
     "show_events($self, /)\n--\n\nPrint the selected events, follow the file when asked, report errors and clean up."},
    {"_NeritEventViewer__follow_events", viewer_follow_events, METH_NOARGS,
     "_NeritEventViewer__follow_events($self, /)\n--\n\nPrint events appended to the event file until interrupted."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef viewer_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef viewer_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(ViewerObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ViewerObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot viewer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Viewer of the security-event log: selects, formats and "
                                  "prints events.")},
    {Py_tp_init, reinterpret_cast<void*>(viewer_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(viewer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(viewer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(viewer_clear)},
    {Py_tp_methods, viewer_methods},
    {Py_tp_getset, viewer_getset},
    {Py_tp_members, viewer_members},
    {0, nullptr}};

PyType_Spec viewer_spec = {
    "nerit_record_console.record_console.NeritEventViewer", sizeof(ViewerObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, viewer_slots};

}  // namespace

Ref make_viewer_type(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &viewer_spec, nullptr));
    if (!type) return type;
    // A real property object, as the class statement's @property would make.
    Ref getter = Ref::steal(PyCFunction_NewEx(&is_path_archive_def, nullptr, module));
    if (!getter) return Ref();
    Ref property = Ref::steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
    if (!property ||
        PyObject_SetAttrString(type.get(), is_path_archive_def.ml_name, property.get()) < 0) {
        return Ref();
    }
    return type;
}

}  // namespace nerit::console
