// Evenly spaced axes, computed as numpy.linspace computes them, to the bit.
#pragma once

#include "orvelio/orvelio.hpp" // Array
#include "format/value.hpp"

namespace orvelio {

// numpy.linspace(start, stop, num) for numeric start and stop and a non-negative integer
// num. Anything else fails with the error numpy gives for it (ErrorDetail::bad_axis).
Array<double> linspace(const Value &start, const Value &stop, const Value &num);

// The first and last value and the count of linspace(start, stop, num), without making it
// (NaN, NaN, 0 when empty). Same failures, but for memory.
AxisRange linspace_range(const Value &start, const Value &stop, const Value &num);

// `num` as a count, as linspace would accept it (same failures).
size_t linspace_count(const Value &start, const Value &stop, const Value &num);

} // namespace orvelio
