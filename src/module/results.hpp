// The result classes that getOrvelData hands back: ordinary Python classes created at
// module load, plain attribute holders whose str() and repr() give their description.
#pragma once

#include <Python.h>

#include "orvelio/orvelio.hpp"

#include <iterator>
#include <span>

namespace orvelio::py {

enum class ResultClass { Base, Single, Image, ImageTRC, TimeResolved, TimeResolvedTRC, MultiRegion, Region, MultiRegionTRC };

// The class of each kind of data, in the order of orvelio::Kind (and of orvelio::Data).
inline constexpr ResultClass kClassOfKind[] = {
    ResultClass::Single,       ResultClass::Image,       ResultClass::ImageTRC,      ResultClass::TimeResolved,
    ResultClass::TimeResolvedTRC, ResultClass::MultiRegion, ResultClass::MultiRegionTRC,
};
static_assert(std::size(kClassOfKind) == kKindCount, "one result class per kind of data");

// Creates the nine classes in the order of ResultClass and binds each into the dict `ns`
// as soon as it exists. Returns false with a Python exception set on failure.
bool add_result_classes(PyObject *ns);

// A new instance of class c, as calling the class with these values would make it: `own`
// the values of the class's own constructor parameters in order, `base` (subclasses of
// BaseDataReturn) those of BaseDataReturn's. Returns a new reference, or nullptr with a
// Python exception set.
PyObject *new_result(ResultClass c, std::span<PyObject *const> own, std::span<PyObject *const> base = {});

} // namespace orvelio::py
