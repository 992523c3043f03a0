// What a description presents beyond the layout: the main array's dimensions and coordinates,
// the quantities and units, completeness and the acquisition time. One table of units and one
// of quantities serve every layer.
#pragma once

#include "kinds.hpp"

namespace orvelio {

// Fills p.d.dims, spectral, values and acquired from the described kind, layout and parameters
// (p.map_axes for images). Reads nothing. The dimensions come from the kind's own entry
// (KindOps::dims), made of the pieces below.
void present(Plan &p);

// What a kind's dimensions are made of.
struct Presenter {
    Plan &p;
    Quantity map_x, map_y; // map positions, in the map units where the file states them

    void dim(std::string name, size_t size, std::vector<Coordinate> coords, bool rows = false);
    // The spectral dimension: the x axis's values.
    void spectral();
    // The trace dimension, named by the traces' labels.
    void labels(size_t size, bool rows);
    // A per-row quantity named by the label parameter `code` (units from the label's words),
    // `fallback` where the file states none.
    Quantity from_label(std::string_view code, const char *fallback) const;
};

Coordinate axis(std::string name, AxisRange range, Quantity q);
Coordinate per_row(std::string name, std::string field, Quantity q);

} // namespace orvelio
