// Numpy arrays that take over the memory of the core's arrays, made through numpy's C API.
#pragma once

#include <nanobind/nanobind.h>

#include "orvelio/orvelio.hpp"

namespace orvelio::py {

namespace nb = nanobind;

// Loads numpy's C API; false with the Python exception set when numpy cannot be imported.
bool import_numpy();

// The numpy array (float32 or float64, C order, writeable) that takes over the array's
// memory without copying it; the memory is freed with the numpy array.
nb::object to_numpy(Array<float> &a);
nb::object to_numpy(Array<double> &a);

} // namespace orvelio::py
