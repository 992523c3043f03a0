// PLACEHOLDER: being written.
#include "format/error.hpp"
#include "kinds.hpp"

namespace orvelio {
Result extract_time_resolved(Start3D &) { fail(PyExc::ValueError, "not yet"); }
} // namespace orvelio
