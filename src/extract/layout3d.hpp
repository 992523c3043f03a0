// The layout of a 3D data block: a header, a store table of index ranges and skips, and the
// stored sub-blocks, each `blockSize` bytes of values followed by an `infoSize`-byte info record
// (a float64 time 136 bytes and a text label 152 bytes after the values).
//
// Besides the layout itself, the reading of sub-blocks that every 3D kind shares: one
// sub-block's values, its time, its label, and all sub-blocks stacked as rows. Errors come in
// the order a reader that seeks to each sub-block in turn would meet them.
#pragma once

#include "orvelio/orvelio.hpp" // Array
#include "format/file.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvelio {

inline constexpr int64_t kInfoTime = 136;
inline constexpr int64_t kInfoLabel = 152;

struct StoreTable {
    std::vector<std::pair<int32_t, int32_t>> entries;
    int64_t blockOffset = 0; // absolute
    int32_t blockSize = 0;
    int32_t infoSize = 0;
};

StoreTable read_store_table(File &f, int64_t offsetToData);
int32_t read_info_size(File &f, int64_t offsetToData);

// Sub-block index to the absolute offset of its values, in the order the indices were first
// stored; an index stored again keeps its place and takes the later offset.
class OffsetMap {
  public:
    using Entry = std::pair<int64_t, int64_t>; // (index, offset)
    const std::vector<Entry> &entries() const { return entries_; }
    // Where in entries() the index is stored, if it is.
    std::optional<size_t> position(int64_t index) const;
    void set(int64_t index, int64_t offset);
    // The offsets alone, in order.
    std::vector<int64_t> offsets() const;

  private:
    friend OffsetMap read_offsets(File &f, int64_t offsetToData);
    void build_index() const;

    std::vector<Entry> entries_;
    // Index to position in entries_; built on first need (a table without repeated indices
    // never needs it while being read). Not built when the indices run without a gap from
    // the first (the usual table): the position is then the index less the first.
    mutable std::unordered_map<int64_t, size_t> where_;
    mutable bool indexed_ = true;
    mutable bool dense_ = false;
};

// The offset mapping of the block. A store table that assigns more sub-blocks than the file
// could hold (one 4-byte value each) cannot describe stored data and fails (ErrorDetail::bad_value).
// Offsets beyond the range of int64 are held at its limits (such a sub-block cannot be read).
OffsetMap read_offsets(File &f, int64_t offsetToData);

// ------------------------------------------------------------------ reading sub-blocks

// What one call may read from sub-blocks, shared by every kind: twice the file's size and
// 1 MiB. Stored sub-blocks lie in distinct bytes of the file, so reading each of them once
// (and, for trace maps, handing each value once more to its region) stays within it; only
// sub-blocks stored on top of one another, or named again and again, go beyond.
class ReadBudget {
  public:
    explicit ReadBudget(const File &f) : left_(2 * f.size() + (uint64_t{1} << 20)) {}
    // Charges `count` reads of `bytes` each; ErrorDetail::bad_value when they go beyond the budget.
    void charge(uint64_t count, uint64_t bytes);

  private:
    uint64_t left_;
};

// Fails as seeking the file to `offset` fails: ErrorDetail::bad_position for a negative position.
void check_offset(int64_t offset);

// The checks of one sub-block whose time is read, in order: check_offset, its values complete
// (fail_cut_short), its time complete (short-read error). Returns where the time is.
int64_t check_timed(const File &f, int64_t offset, size_t npt);

// The checks that stacking sub-block i among `offsets` makes: its values as many as the first
// sub-block's (numpy's message naming both), and the first's complete (fail_cut_short).
void check_stack_row(const File &f, const std::vector<int64_t> &offsets, size_t i, size_t npt);

// How many of `count` 32-bit values stand at `offset` before the end of the file.
size_t values_at(const File &f, int64_t offset, size_t count);

// ErrorDetail::values_cut_short for sub-block values that the end of the file cuts short: `got` of `count`.
// However few remain (one included), they never fill a row of `count`.
// `offset`, when given, is where the values start.
[[noreturn]] void fail_cut_short(size_t got, size_t count, std::optional<int64_t> offset = std::nullopt);

// The times of all the sub-blocks, in order, into dst (one per offset). Each sub-block is
// checked, in order, as a reader meets it: check_offset, its values complete
// (fail_cut_short), its time complete (short-read error).
void read_times(File &f, const std::vector<int64_t> &offsets, size_t npt, double *dst);

// The checks of read_times alone, in the same order.
void check_times(const File &f, const std::vector<int64_t> &offsets, size_t npt);

// read_times, and the values of each sub-block into dst + i * npt, in one pass over the file.
// The caller charges the budget for them (npt values and a time each).
void read_rows_with_times(File &f, const std::vector<int64_t> &offsets, size_t npt, float *dst, double *times);

// The label of the sub-block whose values start at `offset` (check_offset first): of the
// `infoSize` - 152 bytes that start 152 bytes after its `npt` values, those before the first
// NUL (all of them when there is none, fewer when the file ends first), decoded. Empty when
// `infoSize` is 152 or less.
std::string read_label(File &f, int64_t offset, size_t npt, int32_t infoSize);

// The labels of all the sub-blocks, in order, in one pass over the file; with dst set, the
// values of each sub-block go to dst + i * npt in the same pass (they must have been checked).
std::vector<std::string> read_labels(File &f, const std::vector<int64_t> &offsets, size_t npt, int32_t infoSize,
                                     float *dst = nullptr);

// read_labels, with the values read in the same pass a batch of `batch` sub-blocks at a time
// into `buffer` (sub-block i to buffer + (i - first) * npt), each batch handed to
// take(first, n) before the next is read: for callers that use each value once and need not
// hold them all.
std::vector<std::string> read_labels_by_batch(File &f, const std::vector<int64_t> &offsets, size_t npt,
                                              int32_t infoSize, size_t batch, float *buffer,
                                              const std::function<void(size_t first, size_t n)> &take);

// Reads the `npt` values at each offset into dst + i * pitch (pitch 0: npt), straight from the
// file, in as few system calls as the spacing allows (the bytes between close sub-blocks pass
// through a small buffer; far ones are read apart). The offsets should have been checked in the
// order the caller's errors require; one whose values the end of the file cuts short fails with
// fail_cut_short here; then the budget is charged.
void read_rows_into(File &f, std::span<const int64_t> offsets, float *dst, size_t npt, ReadBudget &budget,
                    size_t pitch = 0);

// All sub-blocks' values as the rows of one (M, npt) array, as stacking them row by row
// would give. Fails, in this order: check_offset for each offset in turn; "need at least one
// array to concatenate" without offsets; numpy's message for rows of unequal length (the
// first row whose length differs from the first row's); fail_cut_short when every row is
// equally short. With `labels` set, it receives the labels of the sub-blocks (read_labels),
// read in the same pass.
// The budget is charged after those checks, which check_stacked makes alone (no reads).
void check_stacked(const File &f, const std::vector<int64_t> &offsets, size_t npt, ReadBudget &budget);
Array<float> read_stacked(File &f, const std::vector<int64_t> &offsets, size_t npt, ReadBudget &budget,
                          int32_t infoSize = 0, std::vector<std::string> *labels = nullptr);

// Pieces of the file read straight to their destinations, with as few system calls as their
// spacing allows (pieces in ascending order of offset join best). Each piece must lie within
// the file as its size was when it was opened: false when it turned out shorter.
struct Piece {
    uint64_t offset;
    size_t length;
    void *dst;
};
bool gather(File &f, std::span<const Piece> pieces);

// Rows that take consecutive positions of a set of traces: `length` rows from the one after the
// previous run's, taking positions position, position + 1, ...
struct Run {
    size_t position, length;
};

// rows[k * stride + t] = values[t * pitch + (position of row k)] for t < n: one value of each of
// n traces (the rows of `values`, `pitch` floats apart) into consecutive rows, run after run.
// Four rows of a run move as 4 x 4 blocks transposed in registers, so that 16 traces write
// whole cache lines of the rows.
void transpose_runs(const float *values, size_t pitch, size_t n, std::span<const Run> runs, float *rows,
                    size_t stride);

// ErrorDetail::bad_value "need at least one array to concatenate".
[[noreturn]] void fail_nothing_to_stack();

} // namespace orvelio
