// The layout of a 3D data block: a header, a store table of index ranges and skips, and the
// stored sub-blocks, each `blockSize` bytes of values followed by an `infoSize`-byte info record
// (a float64 time 136 bytes and a text label 152 bytes after the values).
#pragma once

#include "format/file.hpp"

#include <cstdint>
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
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const int64_t *find(int64_t index) const;
    void set(int64_t index, int64_t offset);
    // The offsets alone, in order.
    std::vector<int64_t> offsets() const;

  private:
    std::vector<Entry> entries_;
    std::unordered_map<int64_t, size_t> where_;
};

// The offset mapping of the block. A store table that assigns more sub-blocks than the file
// has bytes cannot describe stored data and fails with ValueError.
OffsetMap read_offsets(File &f, int64_t offsetToData);

} // namespace orvelio
