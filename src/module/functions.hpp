// The module's public functions, each a PyCFunction taking (args, kwargs).
#pragma once

#include <Python.h>

namespace orvelio::py {

PyObject *help(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *listContents(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *isOrvelFile(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *decode_string(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *getOrvelData(PyObject *, PyObject *args, PyObject *kwargs); // get_data.cpp
PyObject *getVisImages(PyObject *, PyObject *args, PyObject *kwargs); // vis_images.cpp
PyObject *OrvelDict(PyObject *, PyObject *args, PyObject *kwargs);

// Builds the module's namespace into `ns`, in the order its names are bound.
PyObject *populate(PyObject *, PyObject *args, PyObject *kwargs);

} // namespace orvelio::py
