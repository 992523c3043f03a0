// What a description presents beyond the layout: the main array's dimensions and coordinates,
// the quantities and units, completeness and the acquisition time. One table of units and one
// of quantities serve every layer.
#pragma once

#include "kinds.hpp"

namespace orvelio {

// Fills p.d.dims, spectral, values and acquired from the described kind, layout and parameters
// (p.map_axes for images). Reads nothing.
void present(Plan &p);

} // namespace orvelio
