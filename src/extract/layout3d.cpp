#include "layout3d.hpp"

#include "format/error.hpp"

namespace orvelio {

StoreTable read_store_table(File &f, int64_t offsetToData) {
    f.seek(offsetToData);
    StoreTable t;
    f.read_i32(); // version
    f.read_i32(); // stored blocks
    t.blockOffset = offsetToData + f.read_i32();
    t.blockSize = f.read_i32();
    t.infoSize = f.read_i32();
    const int32_t numberEntries = f.read_i32();
    if (numberEntries > 0 && static_cast<uint64_t>(numberEntries) > f.remaining() / 8)
        fail_short(4); // the table runs past the end of the file
    t.entries.reserve(numberEntries > 0 ? static_cast<size_t>(numberEntries) : 0);
    for (int32_t i = 0; i < numberEntries; ++i) {
        const int32_t first = f.read_i32();
        const int32_t second = f.read_i32();
        t.entries.emplace_back(first, second);
    }
    return t;
}

int32_t read_info_size(File &f, int64_t offsetToData) {
    f.seek(offsetToData);
    for (int i = 0; i < 4; ++i)
        f.read_i32();
    return f.read_i32();
}

const int64_t *OffsetMap::find(int64_t index) const {
    auto it = where_.find(index);
    return it == where_.end() ? nullptr : &entries_[it->second].second;
}

void OffsetMap::set(int64_t index, int64_t offset) {
    auto [it, inserted] = where_.try_emplace(index, entries_.size());
    if (inserted)
        entries_.emplace_back(index, offset);
    else
        entries_[it->second].second = offset;
}

std::vector<int64_t> OffsetMap::offsets() const {
    std::vector<int64_t> out;
    out.reserve(entries_.size());
    for (const Entry &e : entries_)
        out.push_back(e.second);
    return out;
}

OffsetMap read_offsets(File &f, int64_t offsetToData) {
    const StoreTable t = read_store_table(f, offsetToData);
    int64_t offset = t.blockOffset;
    const int64_t stride = int64_t{t.blockSize} + t.infoSize;
    // Every assignment is bounded by the file's size, so that a table of a few bytes cannot
    // claim billions of sub-blocks.
    const uint64_t budget = f.size() + 4096;
    uint64_t assigned = 0;
    OffsetMap map;
    for (const auto &[first, second] : t.entries) {
        if (first == -1) {
            offset += second;
            continue;
        }
        if (second >= first) {
            assigned += static_cast<uint64_t>(int64_t{second} - first + 1);
            if (assigned > budget)
                fail(PyExc::ValueError, "Invalid 3D data block: its store table lists more sub-blocks than the "
                                        "file can hold");
        }
        for (int64_t n = first; n <= second; ++n) {
            map.set(n, offset);
            offset += stride;
        }
    }
    return map;
}

} // namespace orvelio
