// The few C API forms the stable ABI (Py_LIMITED_API, the abi3 wheel's build) lacks: macros
// that read an object's fields, the fields of type objects and instance methods. Each helper
// uses the direct form in the builds for one interpreter version and the stable ABI's
// functions in the abi3 build, with the same results.
#pragma once

#include <Python.h>

#include <string>

namespace orvelio::py::capi {

inline Py_ssize_t tuple_size(PyObject *tuple) {
#ifdef Py_LIMITED_API
    return PyTuple_Size(tuple);
#else
    return PyTuple_GET_SIZE(tuple);
#endif
}

// Borrowed.
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t i) {
#ifdef Py_LIMITED_API
    return PyTuple_GetItem(tuple, i);
#else
    return PyTuple_GET_ITEM(tuple, i);
#endif
}

inline Py_ssize_t dict_size(PyObject *dict) {
#ifdef Py_LIMITED_API
    return PyDict_Size(dict);
#else
    return PyDict_GET_SIZE(dict);
#endif
}

inline const char *bytes_data(PyObject *bytes) {
#ifdef Py_LIMITED_API
    return PyBytes_AsString(bytes);
#else
    return PyBytes_AS_STRING(bytes);
#endif
}

inline newfunc type_new(PyTypeObject *type) {
#ifdef Py_LIMITED_API
    return reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
#else
    return type->tp_new;
#endif
}

// The name of the object's type as the interpreter's own messages give it (tp_name), e.g.
// "int", "numpy.ndarray" or a class's __name__. Leaves no exception set.
std::string type_name(PyObject *object);

// instancemethod(function): a class attribute that binds the function to the instance it is
// read through, as a function in a class body does. New reference, or nullptr with an exception.
PyObject *instance_method(PyObject *function);

} // namespace orvelio::py::capi
