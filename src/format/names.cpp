#include "names.hpp"

#include "error.hpp"

namespace orvelio {

const std::vector<RequestName> &request_names() {
    static const std::vector<RequestName> table = [] {
        std::vector<RequestName> t = {
            {"REFL", 12, -1}, {"RAM", 10, -1},  {"SPOW", 14, 1},  {"RPOW", 14, 2},  {"SPH", 3, 1},
            {"RPH", 3, 2},    {"PAS", 17, -1},  {"LREFL", 15, -1}, {"KM", 6, -1},   {"SIFG", 2, 1},
            {"RIFG", 2, 2},   {"TR", 5, -1},    {"EMIS", 11, -1}, {"ATR", 16, -1},  {"TRARI", 18, -1},
            {"ABARI", 19, -1}, {"AB", 4, -1},   {"TRC", 7, -1},   {"SSC", 1, 1},    {"RSC", 1, 2},
        };
        const size_t base = t.size();
        for (size_t i = 0; i < base; ++i)
            t.push_back({t[i].name + std::string(kSecondChannel), t[i].dataType + 32, t[i].sampleType});
        return t;
    }();
    return table;
}

std::span<const std::string_view> block_types() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> v;
        for (const RequestName &r : request_names())
            v.push_back(r.name);
        return v;
    }();
    return names;
}

std::optional<int> deriv_code(std::string_view name) {
    for (size_t i = 0; i < kDerivNames.size(); ++i)
        if (kDerivNames[i] == name)
            return static_cast<int>(i);
    return std::nullopt;
}

namespace {

// The listing's name for one block, or nothing for parameter blocks and unnamed codes.
std::optional<Block> translate_block(const BlockType &db, std::string_view prefix) {
    if (db.paramType != 0)
        return std::nullopt;
    int code = db.dataType;
    std::string_view suffix;
    if (code > 32) {
        code -= 32;
        suffix = kSecondChannel;
    }
    if (code >= static_cast<int>(kDataTypeNames.size()))
        fail(ErrorDetail::past_end, "a block of the directory has the data type code " + std::to_string(code) +
                                        ", past the " + std::to_string(kDataTypeNames.size()) + " codes this library names");
    const std::string_view name = kDataTypeNames[static_cast<size_t>(code)];
    if (name.empty())
        return std::nullopt;
    return Block{std::string(prefix) + std::string(name) + std::string(suffix),
                     db.extendType == kExtend3D ? "3D" : "2D",
                     std::string(kDerivNames[static_cast<size_t>(db.derivType)])};
}

} // namespace

std::vector<Block> list_contents(const std::vector<DirEntry> &dir) {
    struct Selection {
        bool (*pick)(const BlockType &);
        std::string_view prefix;
    };
    static constexpr Selection selections[] = {
        {[](const BlockType &t) { return t.sampleType == 3; }, ""},
        {[](const BlockType &t) { return t.sampleType == 1; }, "S"},
        {[](const BlockType &t) { return t.sampleType == 2; }, "R"},
        {[](const BlockType &t) { return t.dataType == 7; }, ""},
    };
    std::vector<Block> out;
    for (const Selection &sel : selections)
        for (const DirEntry &e : dir)
            if (sel.pick(e.type))
                if (auto entry = translate_block(e.type, sel.prefix))
                    out.push_back(std::move(*entry));
    return out;
}

} // namespace orvelio
