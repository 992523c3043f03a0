// The kinds of 3D data, each read (and described) by its own source file.
#pragma once

#include "annotation.hpp"
#include "format/events.hpp"
#include "format/file.hpp"
#include "layout3d.hpp"
#include "request.hpp"
#include "result.hpp"

#include <memory>

namespace orvelio {

// What every 3D kind starts from: the result with its shared fields filled (request words,
// parameters, x, minY, maxY) and what the choice of kind used.
struct Start3D {
    File &f;
    const Request &req;
    const Located &at;
    Events &events;
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

// ------------------------------------------------------------------ descriptions

// A block described: the public description and what reading its rows needs. Built once per
// block and then only read (by any number of threads).
struct Plan {
    Description d; // its parameters empty: see `parameters`
    MergedParams parameters;
    Located at;
    size_t npt = 0;       // values per stored sub-block (NPT)
    int32_t infoSize = 0; // kinds with labels
    Value map_axes[6];         // images: linspace's start, stop and count for mapX, then mapY
    // Multi-region maps: the table, and the first table row of each region.
    std::shared_ptr<const Annotations> annotations;
    std::vector<size_t> region_first_row;
};

// Fill s's plan for the kind; the shared fields (request, parameters, x) are set already.
// Each runs the checks of the full read that need no values, in the same order.
void describe_image(Start3D &s, Plan &p);
// The checks of image trace values that need the file's size, for one trace.
void check_trace_values(const File &f, int64_t offset, size_t npt, size_t nx, size_t ny);
void describe_time_resolved(Start3D &s, Plan &p);
void describe_multi_region(Start3D &s, Plan &p);

// The per-region values of a multi-region map, spectra left empty, as the full read gives them.
std::vector<Region> multi_region_info(File &f, const Plan &p);

} // namespace orvelio
