// A whole read of a block, every kind's fields in one struct: the facade (api/reader.cpp) moves
// them into the public result of the block's kind.
#pragma once

#include "orvelio/orvelio.hpp" // Array
#include "format/value.hpp"
#include "params/params.hpp"

#include <optional>
#include <string>
#include <vector>

namespace orvelio {

// Region: the public header's.


struct Result {
    Kind kind = Kind::spectrum; // the public header's kinds

    // Shared by every kind.
    std::string dimension, dataType, deriv;
    MergedParams parameters;
    Array<double> x;
    Value minY, maxY;

    Array<float> y;                  // Single
    Array<double> mapX, mapY;        // Image, ImageTRC
    Array<float> spectra;            // Image (NPY, NPX, NPT), TimeResolved (M, NPT)
    Array<float> traces;             // ImageTRC (NPY, NPX, M), TimeResolvedTRC (M, NPT)
    std::vector<std::string> labels; // ImageTRC, TimeResolvedTRC, MultiRegionTRC
    Array<double> z;                 // TimeResolved
    std::vector<Region> regions;     // MultiRegion, MultiRegionTRC
};

} // namespace orvelio
