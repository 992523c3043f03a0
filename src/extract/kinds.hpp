// The kinds of 3D data, each read by its own source file.
#pragma once

#include "format/events.hpp"
#include "format/file.hpp"
#include "layout3d.hpp"
#include "request.hpp"
#include "result.hpp"

namespace orvelio {

// What every 3D kind starts from: the result with its shared fields filled (request words,
// parameters, x, minY, maxY) and what the choice of kind used.
struct Start3D {
    File &f;
    const Request &req;
    const Located &at;
    Events &events;
    Value NPT; // checked by the x axis: a non-negative integer
    size_t npt;
    Result result;
    ReadBudget budget; // for every sub-block the call reads
};

// Images and image traces (the parameters hold the six map keys). image.cpp
Result extract_image(Start3D &s);
// Time-resolved spectra and traces. time_resolved.cpp
Result extract_time_resolved(Start3D &s);
// Multi-region point and trace maps (an annotation block was located). multi_region.cpp
Result extract_multi_region(Start3D &s);

} // namespace orvelio
