// The result classes that getOrvelData hands back: ordinary Python classes created at
// module load, plain attribute holders whose str() and repr() give their description.
#pragma once

#include <Python.h>

namespace orvelio::py {

enum class ResultClass { Base, Single, Image, ImageTRC, TimeResolved, TimeResolvedTRC, MultiRegion, Region, MultiRegionTRC };

// Creates the nine classes in the order of ResultClass and binds each into the dict `ns`
// as soon as it exists. Returns false with a Python exception set on failure.
bool add_result_classes(PyObject *ns);

// The class object (borrowed; alive for the whole process). Results are built by calling
// it with keyword arguments.
PyObject *result_class(ResultClass c);

} // namespace orvelio::py
