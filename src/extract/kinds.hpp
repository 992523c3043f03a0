// The kinds of data block. Each kind has one source file that describes a located block, reads
// it whole, reads chosen rows and gives its row information; the facade reaches them through
// one table indexed by Kind (kind_ops).
#pragma once

#include "annotation.hpp"
#include "orvelio/orvelio.hpp" // Note
#include "format/file.hpp"
#include "layout3d.hpp"
#include "request.hpp"

#include <memory>
#include <optional>
#include <span>

namespace orvelio {

struct Presenter;

// What every kind starts from: the located block, its merged parameters and the x axis's
// parameters (checked already: making the axis cannot fail on them but for memory).
struct Start {
    File &f;
    const Block &req;
    const Located &at;
    std::vector<Note> &notes;
    MergedParams parameters;
    Value FXV, LXV, NPT, minY, maxY;
    size_t npt;        // values per stored sub-block (NPT)
    ReadBudget budget; // for every sub-block the call reads

    // A result with the fields every kind shares but x (made last, by x_axis: a block whose
    // sub-blocks cannot hold NPT values fails on them without first making an axis of NPT
    // points) and the parameters (given the merged list once the read is done).
    template <class R> R result() {
        R r;
        r.request = req;
        r.minY = minY;
        r.maxY = maxY;
        return r;
    }
    Array<double> x_axis() const;
};

// A block described: the public description and what reading its rows needs. Built once per
// block and then only read (by any number of threads).
struct Plan {
    Description d; // its parameters empty: see `parameters`
    MergedParams parameters;
    Located at;
    size_t npt = 0;       // values per stored sub-block (NPT)
    int32_t infoSize = 0; // kinds with labels
    Value map_axes[6];    // images: linspace's start, stop and count for mapX, then mapY
    // Multi-region maps: the table, and the first table row of each region.
    std::shared_ptr<const Annotations> annotations;
    std::vector<size_t> region_first_row;
};

// The faults of a block's values that a plan meets on the way: a description goes on past
// them (it reads no values), a whole read stops at the first. Planning for a read, the plan's
// own errors come after a value fault met before them.
class ValueFaults {
  public:
    explicit ValueFaults(bool reading) : reading_(reading) {}
    // Runs check(), which throws the fault, when reading and before any other fault.
    template <class Check> void check(Check &&check) {
        if (!reading_ || first_)
            return;
        try {
            check();
        } catch (const Error &e) {
            if (e.detail() == ErrorDetail::interrupted)
                throw;
            first_ = e;
        }
    }
    // plan() with the read's first error: a value fault met before the plan's own error.
    template <class Build> void plan(Build &&build) {
        try {
            build();
        } catch (const Error &) {
            raise();
            throw;
        }
        raise();
    }

  private:
    void raise() const {
        if (first_)
            throw *first_;
    }
    bool reading_;
    std::optional<Error> first_;
};

// What a kind does. Rows are checked against the plan (in range, the buffer's size) before
// read_rows is called; region is set for the kinds that read by region.
struct KindOps {
    // The plan: the kind's checks of the whole read that need no values, in the same order.
    // d.kind, d.request, d.x and p.npt are set already.
    void (*describe)(Start &s, Plan &p);
    // The whole block.
    Data (*read)(Start &s);
    // rows[i] into out[i * row_length, (i + 1) * row_length).
    void (*read_rows)(File &f, const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                      std::optional<size_t> region);
    RowInfo (*row_info)(File &f, const Plan &p);
    // The main array's dimensions, in order, with their coordinates (present.hpp).
    void (*dims)(Presenter &pr);
};

// The kinds' entries, each defined in the kind's file.
extern const KindOps kSpectrumOps;     // spectrum.cpp
extern const KindOps kImageOps;        // image.cpp
extern const KindOps kImageTracesOps;  // image.cpp
extern const KindOps kTimeSeriesOps;   // time_resolved.cpp
extern const KindOps kTimeTracesOps;   // time_resolved.cpp
extern const KindOps kPointMapOps;     // multi_region.cpp
extern const KindOps kTraceMapOps;     // multi_region.cpp

// The table: kind k's entry.
const KindOps &kind_ops(Kind k);

// The kind of a located block: from its dimensions, its type, its parameters (a map geometry)
// and whether it has an annotation table.
Kind kind_of(const Block &req, const MergedParams &parameters, const Located &at);

// Every stored sub-block declares npt values; the file's size says how many it holds: into
// p.d.values_held and values_declared.
void count_values(const File &f, Plan &p);

// Rows read straight from the file: each of `pieces` (npt-value rows, as described) at once.
void gather_rows(File &f, std::span<const Piece> pieces, size_t npt);

} // namespace orvelio
