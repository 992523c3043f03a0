// PLACEHOLDER: being written.
#include "format/error.hpp"
#include "kinds.hpp"

namespace orvelio {
Result extract_multi_region(Start3D &) { fail(PyExc::ValueError, "not yet"); }
} // namespace orvelio
