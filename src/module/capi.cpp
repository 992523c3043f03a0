#include "capi.hpp"

#include <cstddef>

namespace orvelio::py::capi {

#ifndef Py_LIMITED_API

std::string type_name(PyObject *object) { return Py_TYPE(object)->tp_name; }

PyObject *instance_method(PyObject *function) { return PyInstanceMethod_New(function); }

#else

namespace {

// A string attribute of the type; "?" (with no exception left) where it has none.
std::string text_attribute(PyObject *type, const char *name) {
    PyObject *value = PyObject_GetAttrString(type, name);
    Py_ssize_t n = 0;
    const char *s = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &n) : nullptr;
    std::string text = s ? std::string(s, static_cast<size_t>(n)) : "?";
    Py_XDECREF(value);
    PyErr_Clear();
    return text;
}

// instancemethod, which the stable ABI does not offer, made from its parts: reading it
// through an instance gives types.MethodType(function, instance), through the class the
// function itself; calling it calls the function.
struct InstanceMethod {
    PyObject_HEAD
    PyObject *function;
};

PyObject *g_method_type = nullptr; // types.MethodType
PyObject *g_instance_method_type = nullptr;

PyObject *function_of(PyObject *self) { return reinterpret_cast<InstanceMethod *>(self)->function; }

PyObject *im_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance)
        return Py_NewRef(function_of(self));
    return PyObject_CallFunctionObjArgs(g_method_type, function_of(self), instance, nullptr);
}

PyObject *im_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return PyObject_Call(function_of(self), args, kwargs);
}

void im_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(function_of(self));
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyMemberDef kMembers[] = {
    {"__func__", Py_T_OBJECT_EX, offsetof(InstanceMethod, function), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_descr_get, reinterpret_cast<void *>(im_get)},
    {Py_tp_call, reinterpret_cast<void *>(im_call)},
    {Py_tp_dealloc, reinterpret_cast<void *>(im_dealloc)},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"orvelio.instancemethod", sizeof(InstanceMethod), 0, Py_TPFLAGS_DEFAULT, kSlots};

} // namespace

std::string type_name(PyObject *object) {
    // tp_name is __name__ for classes made at run time and "module.name" for the others,
    // whose module is "builtins" where the name has no dot.
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(object));
    std::string name = text_attribute(type, "__name__");
    if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_HEAPTYPE)
        return name;
    std::string module = text_attribute(type, "__module__");
    return module == "builtins" ? name : module + "." + name;
}

PyObject *instance_method(PyObject *function) {
    if (!g_method_type) {
        PyObject *types = PyImport_ImportModule("types");
        g_method_type = types ? PyObject_GetAttrString(types, "MethodType") : nullptr;
        Py_XDECREF(types);
        if (!g_method_type)
            return nullptr;
    }
    if (!g_instance_method_type && !(g_instance_method_type = PyType_FromSpec(&kSpec)))
        return nullptr;
    auto *self = PyObject_New(InstanceMethod, reinterpret_cast<PyTypeObject *>(g_instance_method_type));
    if (!self)
        return nullptr;
    self->function = Py_NewRef(function);
    return reinterpret_cast<PyObject *>(self);
}

#endif

} // namespace orvelio::py::capi
