// The few C API forms the stable ABI (Py_LIMITED_API, the abi3 wheel's build) lacks: macros
// that read an object's fields, a str's characters, presized dictionaries, the fields of type
// objects and instance methods. Each helper uses the direct form in the builds for one
// interpreter version and the stable ABI's functions in the abi3 build, with the same results.
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

// Item i (0 <= i) of an exact tuple or list, borrowed; nullptr, with no exception, past its end.
inline PyObject *sequence_item(PyObject *tuple_or_list, Py_ssize_t i) {
#ifdef Py_LIMITED_API
    if (PyTuple_CheckExact(tuple_or_list))
        return i < PyTuple_Size(tuple_or_list) ? PyTuple_GetItem(tuple_or_list, i) : nullptr;
    return i < PyList_Size(tuple_or_list) ? PyList_GetItem(tuple_or_list, i) : nullptr;
#else
    return i < PySequence_Fast_GET_SIZE(tuple_or_list) ? PySequence_Fast_GET_ITEM(tuple_or_list, i) : nullptr;
#endif
}

// The characters of an exact str that is plain ASCII, one char each, and their number; valid
// while the str lives. nullptr, with no exception, for any other object.
inline const char *ascii_chars(PyObject *object, Py_ssize_t *length) {
    if (!PyUnicode_CheckExact(object))
        return nullptr;
#ifdef Py_LIMITED_API
    // An ASCII str's UTF-8 form is its own characters; any other has a byte of 0x80 or more
    // (or none at all: lone surrogates).
    const char *s = PyUnicode_AsUTF8AndSize(object, length);
    if (!s) {
        PyErr_Clear();
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < *length; ++k)
        if (static_cast<unsigned char>(s[k]) >= 0x80)
            return nullptr;
    return s;
#else
    if (!PyUnicode_IS_ASCII(object))
        return nullptr;
    *length = PyUnicode_GET_LENGTH(object);
    return static_cast<const char *>(PyUnicode_DATA(object));
#endif
}

// A new dictionary with room for n items (without growing on the way where the interpreter
// allows it). New reference, or nullptr with an exception.
inline PyObject *dict_presized(Py_ssize_t n) {
#ifdef Py_LIMITED_API
    (void)n;
    return PyDict_New();
#else
    return _PyDict_NewPresized(n);
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
