// The Python objects made from the facade's results, shared by the module's functions and
// the _Reader class.
#pragma once

#include <nanobind/nanobind.h>

#include "orvelio/orvelio.hpp"

namespace orvelio::py {

namespace nb = nanobind;

// The result object of the data's kind, as getOrvelData returns it (the arrays are taken over).
nb::object result_object(Data &data); // get_data.cpp

// getVisImages' list: one dictionary per picture (vis_images.cpp).
nb::list picture_list(const std::vector<Picture> &pictures);

} // namespace orvelio::py
