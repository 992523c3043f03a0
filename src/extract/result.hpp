// What getOrvelData returns, as plain C++ values: the binding turns it into the result object
// of its kind, handing every array to numpy without a copy.
#pragma once

#include "format/array.hpp"
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
