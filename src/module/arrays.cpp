#include "arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <memory>

namespace orvelio::py {

namespace {

void free_memory(PyObject *capsule) { std::free(PyCapsule_GetPointer(capsule, nullptr)); }

constexpr const char *kShared = "orvelio shared array memory";

void drop_share(PyObject *capsule) { delete static_cast<std::shared_ptr<void> *>(PyCapsule_GetPointer(capsule, kShared)); }

// The owner of an array's memory, as a capsule: the memory itself (freed with the capsule),
// or, for an array sharing an allocation, a share of it.
template <class T> nb::object capsule_for(Array<T> &a) {
    if (!a.owner())
        return nb::steal(PyCapsule_New(a.data(), nullptr, free_memory));
    auto *share = new std::shared_ptr<void>(a.owner());
    PyObject *capsule = PyCapsule_New(share, kShared, drop_share);
    if (!capsule)
        delete share;
    return nb::steal(capsule);
}

template <class T> nb::object make(Array<T> &a, int typenum) {
    npy_intp dims[NPY_MAXDIMS];
    const auto &shape = a.shape();
    const int ndim = static_cast<int>(shape.size()); // release() below empties the shape
    for (size_t k = 0; k < shape.size(); ++k)
        dims[k] = static_cast<npy_intp>(shape[k]);
    // The capsule owns the memory from here on; the array keeps the capsule as its base.
    nb::object owner = capsule_for(a);
    if (!owner.is_valid())
        throw nb::python_error();
    void *data = a.data();
    if (!a.owner())
        a.release();
    nb::object array = nb::steal(PyArray_New(&PyArray_Type, ndim, dims, typenum, nullptr,
                                             data, 0, NPY_ARRAY_CARRAY, nullptr));
    if (!array.is_valid() ||
        PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array.ptr()), owner.release().ptr()) < 0)
        throw nb::python_error();
    return array;
}

} // namespace

bool import_numpy() { return _import_array() >= 0; }

nb::object to_numpy(Array<float> &a) { return make(a, NPY_FLOAT32); }
nb::object to_numpy(Array<double> &a) { return make(a, NPY_FLOAT64); }

} // namespace orvelio::py
