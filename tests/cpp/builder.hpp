// Small Orvel files composed in memory for the C++ tests: the C++ counterpart of the parts of
// tests/builder.py these tests need (header and directory, parameter blocks, 3D blocks, the
// annotation block of multi-region maps). All numbers little-endian.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace build {

using Bytes = std::vector<uint8_t>;

template <class T> void put(Bytes &b, T v) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    b.insert(b.end(), raw, raw + sizeof(T));
}
inline void append(Bytes &b, const Bytes &more) { b.insert(b.end(), more.begin(), more.end()); }

// ------------------------------------------------------------------ block types

enum Extend : uint32_t { ext_2d = 0, ext_3d = 10, ext_anno = 11, ext_image = 20 };

inline int32_t block_type(uint32_t sample, uint32_t param, uint32_t data, uint32_t deriv, uint32_t extend) {
    return static_cast<int32_t>(sample << 2 | param << 4 | data << 10 | deriv << 17 | extend << 19);
}

// The word of a data block (param 0) or of its data parameters (param 1): "AB" or "TRC" only.
inline int32_t data_word(const std::string &name, bool three_d, uint32_t param = 0) {
    const uint32_t type = name == "TRC" ? 7 : 4;
    return block_type(3, param, type, 0, three_d ? ext_3d : ext_2d);
}

// ------------------------------------------------------------------ parameters

using Param = std::pair<std::string, std::variant<int32_t, double, std::string>>;

// A parameter block: 4-byte name, int16 type, int16 size in 16-bit words, value; then END.
inline Bytes params(const std::vector<Param> &records) {
    Bytes b;
    for (const auto &[name, value] : records) {
        std::string n = name;
        n.resize(4, '\0');
        b.insert(b.end(), n.begin(), n.end());
        if (const auto *i = std::get_if<int32_t>(&value)) {
            put<int16_t>(b, 0), put<int16_t>(b, 2), put(b, *i);
        } else if (const auto *d = std::get_if<double>(&value)) {
            put<int16_t>(b, 1), put<int16_t>(b, 4), put(b, *d);
        } else {
            std::string t = std::get<std::string>(value);
            t.resize(t.size() + 2 - t.size() % 2, '\0'); // at least one NUL, whole words
            put<int16_t>(b, 2), put(b, static_cast<int16_t>(t.size() / 2));
            b.insert(b.end(), t.begin(), t.end());
        }
    }
    for (char c : {'E', 'N', 'D', '\0'})
        b.push_back(static_cast<uint8_t>(c));
    return b;
}

// ------------------------------------------------------------------ the whole file

// A 24-byte header, a directory with room for `max_dir` entries, then the blocks.
class File {
  public:
    explicit File(size_t max_dir = 16) : max_dir_(max_dir) {}

    size_t end() const { return 24 + 12 * max_dir_ + body_.size(); }

    // Appends a block at a 4-byte boundary with its directory entry; returns its offset.
    size_t add(int32_t type, const Bytes &payload) {
        body_.resize(body_.size() + (-body_.size() & 3));
        const size_t offset = end();
        append(body_, payload);
        entries_.push_back({type, static_cast<int32_t>((payload.size() + 3) / 4), static_cast<int32_t>(offset)});
        return offset;
    }

    Bytes bytes() const {
        Bytes b = {0x0a, 0x0a, 0xfe, 0xfe};
        put(b, 1.0);
        put<int32_t>(b, 24), put<int32_t>(b, static_cast<int32_t>(max_dir_)),
            put(b, static_cast<int32_t>(entries_.size()));
        for (const auto &e : entries_)
            for (int32_t v : e)
                put(b, v);
        b.resize(24 + 12 * max_dir_);
        append(b, body_);
        return b;
    }

  private:
    size_t max_dir_;
    std::vector<std::array<int32_t, 3>> entries_;
    Bytes body_;
};

// ------------------------------------------------------------------ 3D blocks

struct SubBlock {
    int32_t index;
    std::vector<float> values;
    double time = 0;     // stored 4 * npt + 136 bytes into the sub-block
    std::string label{}; // stored 4 * npt + 152 bytes into it
};

// Header (version, stored, values offset, block size, info size, entries), the store table
// (one range per run of consecutive indices), then the sub-blocks (values, 200 info bytes).
inline Bytes block3d(const std::vector<SubBlock> &subs, size_t npt) {
    std::vector<std::pair<int32_t, int32_t>> table;
    for (const SubBlock &s : subs) {
        if (!table.empty() && table.back().second + 1 == s.index)
            table.back().second = s.index;
        else
            table.push_back({s.index, s.index});
    }
    const int32_t info = 200, block = static_cast<int32_t>(4 * npt);
    Bytes b;
    for (int32_t v : {0, static_cast<int32_t>(subs.size()), static_cast<int32_t>(24 + 8 * table.size()), block, info,
                      static_cast<int32_t>(table.size())})
        put(b, v);
    for (const auto &[first, last] : table)
        put(b, first), put(b, last);
    for (const SubBlock &s : subs) {
        Bytes record(static_cast<size_t>(block + info), 0);
        if (!s.values.empty()) // memcpy takes no null pointer, even for no bytes
            std::memcpy(record.data(), s.values.data(), 4 * std::min(npt, s.values.size()));
        std::memcpy(record.data() + 4 * npt + 136, &s.time, 8);
        if (!s.label.empty())
            std::memcpy(record.data() + 4 * npt + 152, s.label.data(), s.label.size());
        append(b, record);
    }
    return b;
}

// A data block of 3D sub-blocks with its data parameters (NPT, FXV, LXV, MNY, MXY, then `extra`).
inline void add_block3d(File &f, const std::string &name, const std::vector<SubBlock> &subs, size_t npt,
                        std::vector<Param> extra = {}) {
    std::vector<Param> p = {{"NPT", static_cast<int32_t>(npt)}, {"FXV", 4000.0}, {"LXV", 400.0}, {"MNY", 0.0},
                            {"MXY", 1.0}};
    p.insert(p.end(), extra.begin(), extra.end());
    f.add(data_word(name, true), block3d(subs, npt));
    f.add(data_word(name, true, 1), params(p));
}

inline void add_spectrum(File &f, const std::string &name, const std::vector<float> &y) {
    Bytes values;
    for (float v : y)
        put(values, v);
    f.add(data_word(name, false), values);
    f.add(data_word(name, false, 1), params({{"NPT", static_cast<int32_t>(y.size())}, {"FXV", 4000.0},
                                             {"LXV", 400.0}, {"MNY", 0.0}, {"MXY", 1.0}, {"DXU", std::string("WN")}}));
}

// ------------------------------------------------------------------ pictures

// The code of picture number i: 00 to 99, then AA to AZ, BA to ZZ, AAA, ...
inline std::string picture_code(size_t i) {
    if (i < 100)
        return {static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10)};
    std::string code; // last letter first
    for (size_t n = i - 100 + 26;; --n) {
        code.push_back(static_cast<char>('A' + n % 26));
        if ((n /= 26) == 0)
            return {code.rbegin(), code.rend()};
    }
}

// An image block of one chunk whose `count` picture codes all name one picture record: its
// parameters (SIZ, T00 9, F00 0, H00 the title, then `labels` as H01/V01, ..., and "Bytes:"
// and "Type:" 0), then `data`.
inline Bytes image_block(const std::string &title, const std::vector<std::pair<std::string, std::string>> &labels,
                         const Bytes &data, size_t count) {
    const auto head = [&](int32_t siz) {
        std::vector<Param> p = {{"SIZ", siz}, {"T00", 9}, {"F00", 0}, {"H00", title}};
        std::vector<Param> values;
        for (const auto &[label, value] : labels)
            values.push_back({label, value});
        values.push_back({"Bytes:", static_cast<int32_t>(data.size())});
        values.push_back({"Type:", 0});
        for (size_t n = 0; n < values.size(); ++n) {
            const std::string k = picture_code(n + 1);
            p.push_back({"H" + k, values[n].first});
            p.push_back({"V" + k, values[n].second});
        }
        return params(p);
    };
    Bytes record = head(static_cast<int32_t>(head(0).size()));
    append(record, data);
    const auto set = [&](int32_t at) {
        std::vector<Param> p = {{"BID", block_type(0, 0, 0, 0, ext_image)}, {"NRP", static_cast<int32_t>(count)}};
        for (size_t i = 0; i < count; ++i) {
            p.push_back({"F" + picture_code(i), at});
            p.push_back({"Z" + picture_code(i), static_cast<int32_t>(record.size())});
        }
        return params(p);
    };
    Bytes b = set(static_cast<int32_t>(set(0).size()));
    append(b, record);
    return b;
}

// ------------------------------------------------------------------ annotations

// One row of the region table: Group, Type, AryNX, AryNY, AryType, Fileindex (int32), X, Y (float32).
struct RegionRow {
    int32_t group, nx, ny, fileindex;
    float x, y;
};

// The annotation block of a multi-region map: 12 bytes, the record directory (NRP, F00), then
// one table record: its parameters (SRC, SIZ, NCO, NLN, Snn/Fnn/Tnn per column), then its rows.
inline Bytes annotation(const std::vector<RegionRow> &rows) {
    const char *names[] = {"Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex", "X", "Y"};
    const auto table_head = [&](int32_t siz) {
        std::vector<Param> p = {{"SRC", 32}, {"SIZ", siz}, {"NCO", 8}, {"NLN", static_cast<int32_t>(rows.size())}};
        for (int32_t i = 0; i < 8; ++i) {
            const std::string k{'0', static_cast<char>('0' + i)};
            p.push_back({"S" + k, std::string(names[i])});
            p.push_back({"F" + k, 4 * i});
            p.push_back({"T" + k, i < 6 ? 4 : 5});
        }
        return params(p);
    };
    Bytes table = table_head(static_cast<int32_t>(table_head(0).size()));
    for (const RegionRow &r : rows) {
        for (int32_t v : {r.group, 0, r.nx, r.ny, 0, r.fileindex})
            put(table, v);
        put(table, r.x), put(table, r.y);
    }
    const auto directory = [](int32_t first) { return params({{"NRP", 1}, {"F00", first}}); };
    Bytes b(12, 0);
    append(b, directory(static_cast<int32_t>(12 + directory(0).size())));
    append(b, table);
    return b;
}

} // namespace build
