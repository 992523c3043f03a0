#include "vis_images.hpp"

#include "format/directory.hpp"
#include "format/pyops.hpp"
#include "picture_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>

namespace orvelio {

namespace {


// An offset held as the interpreter holds it.
Num num(int64_t v) { return Num{false, v, 0}; }

// Reads as many bytes as `length` says, fewer at the end of the file; a negative length
// reads the rest, as for a text parameter of negative size.
std::string read_length(File &f, const Value &length) {
    if (!is_int(length))
        fail_with(ErrorDetail::bad_length, std::string("a length in the picture records is ") + kind_name(type_name(length)) +
                                          ", not a whole number",
             {std::string(type_name(length))});
    const int64_t n = std::get<int64_t>(length);
    return n < 0 ? f.read_rest() : f.read_bytes(static_cast<uint64_t>(n));
}

// Whether a parameter block describes an image set: its own block type word, BID, has the
// extended type of the image block.
bool is_image_set(const ParamDict &params) {
    const Value *bid = params.find("BID");
    if (!bid)
        return false;
    if (!is_int(*bid))
        fail_operands(">>", type_name(*bid), "int");
    return decode_block_type(std::get<int64_t>(*bid)).extendType == kExtendImages;
}

// n in bijective base 26 over A..Z: 0 is A, 25 Z, 26 AA, 702 AAA.
std::string letters(int64_t n) {
    std::string out;
    for (;;) {
        out.insert(out.begin(), static_cast<char>('A' + n % 26));
        n /= 26;
        if (n == 0)
            return out;
        --n;
    }
}

// The name of a picture's entry in the image-set parameters: F or Z, then the picture code.
std::string coded(char kind, const std::string &code) {
    std::string name(1, kind);
    name += code;
    return name;
}

// Reads parameter blocks, charging the bytes they span to one budget for the whole call, so
// that chunks and pictures pointing into one another's blocks cannot make a small file cost
// time far out of proportion to its size.
class BudgetedParams {
  public:
    explicit BudgetedParams(File &f) : f_(f), left_(f.size() * 64 + (uint64_t{1} << 20)) {}
    ParamDict operator()(int64_t at) {
        ParamDict p = read_params(f_, at);
        const uint64_t spent = static_cast<uint64_t>(std::max<int64_t>(f_.tell() - at, 0));
        if (spent > left_)
            fail(ErrorDetail::bad_value, "Image block is malformed: its chunks and pictures read the same "
                                    "parameters over and over");
        left_ -= spent;
        return p;
    }

  private:
    File &f_;
    uint64_t left_;
};

// The picture record whose parameter block starts at `at`.
VisPicture read_picture(File &f, BudgetedParams &read_block, int64_t at) {
    VisPicture pic;
    const ParamDict params = read_block(at);
    for (const auto &[name, label] : params.items()) {
        if (!name.starts_with('H'))
            continue;
        if (name == "H00") {
            pic.entries.set("Title", label);
            continue;
        }
        std::string value_name = name;
        std::replace(value_name.begin(), value_name.end(), 'H', 'V');
        const Value &value = params.at(value_name);
        if (!is_text(label))
            // A label that is not text cannot be stripped of its colons.
            fail_with(ErrorDetail::bad_attribute,
                 "the label " + name + " of a picture is " + kind_name(type_name(label)) + ", not a text",
                 {std::string(type_name(label))});
        std::string key = std::get<std::string>(label);
        key.erase(key.find_last_not_of(':') + 1);
        pic.entries.set(std::move(key), value);
    }

    // The picture's bytes start F00 bytes after its parameter block, which is SIZ bytes long.
    const Num after_params = plus(num(at), params.at("SIZ"));
    f.seek(position(after_params));
    if (!equals(params.at("T00"), 9))
        return pic;
    f.seek(position(plus(after_params, params.at("F00"))));
    pic.image = read_length(f, pic.entries.at("Bytes"));
    if (equals(pic.entries.at("Type"), 258))
        pic.image.erase(0, 14); // a 14-byte header before the picture itself
    pic.has_image = true;
    pic.format = picture_format(pic.image);
    return pic;
}

} // namespace

std::string picture_code(int64_t i) {
    if (i < 100) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "%02lld", static_cast<long long>(i));
        return buf;
    }
    return letters(i - 100 + 26);
}

VisImages read_vis_images(File &f) {
    VisImages out;
    const std::vector<DirEntry> dir = read_directory(f);
    auto block = std::find_if(dir.begin(), dir.end(),
                              [](const DirEntry &e) { return e.type.extendType == kExtendImages; });
    if (block == dir.end())
        return out;
    const int64_t offset = block->byteOffset;
    const Wide block_end = Wide{offset} + Wide{block->sizeInWords} * 4;

    // Walk the chunks, gathering the image-set parameters. Each chunk tells where its last
    // picture record ends, which is where the next chunk starts.
    ParamDict param_dir;
    BudgetedParams read_block(f);
    std::unordered_set<int64_t> visited;
    // The block of picture 0 is read on every chunk; most chunks leave its place unchanged.
    // Once merged, param_dir holds all its names: merging it again only restores the values
    // that the chunks merged since have replaced, and leaves the order as it is.
    std::optional<int64_t> first_at;
    bool first_is_set = false, first_merged = false;
    ParamDict first;
    std::vector<const std::string *> replaced; // names of `first` that the chunk set
    f.seek(offset);
    while (Wide{f.tell()} != block_end) {
        const int64_t cur_offset = f.tell();
        if (!visited.insert(cur_offset).second)
            fail(ErrorDetail::bad_value, "Image block chunks loop: the chunk at offset " + std::to_string(cur_offset) +
                                        " is reached a second time");
        char head[16];
        const size_t got = f.read(head, sizeof head);
        const size_t marker = std::string_view(head, got).find("BID");
        if (marker == std::string_view::npos)
            break;
        const ParamDict chunk = read_block(cur_offset + static_cast<int64_t>(marker));
        replaced.clear();
        if (is_image_set(chunk)) {
            param_dir.merge(chunk);
            if (first_merged)
                for (const auto &item : chunk.items())
                    if (first.contains(item.first))
                        replaced.push_back(&item.first);
        }

        const int64_t at = position(plus(num(offset), param_dir.at("F00")));
        if (first_at != at) {
            first = read_block(at);
            first_at = at;
            first_is_set = is_image_set(first);
            first_merged = false;
        }
        if (first_is_set && !first_merged) {
            param_dir.merge(first);
            first_merged = true;
        } else if (first_is_set) {
            for (const std::string *name : replaced)
                param_dir.set(*name, first.at(*name));
        }

        const Value &nrp = param_dir.at("NRP");
        if (is_text(nrp))
            fail_operands("-", "str", "int");
        const std::string code = picture_code(range_count(nrp) - 1);
        const Value &img_offset = param_dir.at(coded('F', code));
        const Value &img_size = param_dir.at(coded('Z', code));
        const Num next = plus(plus(num(offset), img_offset), img_size);
        if (equal(next, cur_offset))
            break;
        f.seek(position(next));
    }

    const int64_t count = range_count(param_dir.at("NRP"));
    std::unordered_map<int64_t, size_t> read_at; // picture record start -> index in out.pictures
    // Distinct pictures hold distinct bytes of the file; pictures whose records start apart but
    // whose bytes run on into each other's could otherwise copy the file over and over.
    const uint64_t allowed = 2 * f.size() + (uint64_t{1} << 20);
    uint64_t picture_bytes = 0;
    // Each picture of the listing gets a dictionary of its record's values: records that
    // pictures name again and again could make a small file list its values without end.
    // Distinct records hold each value in 16 bytes of the file at least (a label and a value).
    const uint64_t entries_allowed = f.size() / 4 + 65536;
    uint64_t entries = 0;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t at = position(plus(num(offset), param_dir.at(coded('F', picture_code(i)))));
        auto [it, fresh] = read_at.try_emplace(at, out.pictures.size());
        if (fresh) {
            out.pictures.push_back(read_picture(f, read_block, at));
            picture_bytes += out.pictures.back().image.size();
            if (picture_bytes > allowed)
                fail(ErrorDetail::bad_value, "Image block is malformed: its pictures' bytes add up to more than the "
                                        "file holds");
        }
        entries += out.pictures[it->second].entries.size() + 2; // and the picture's bytes and format
        if (entries > entries_allowed)
            fail(ErrorDetail::bad_value, "Image block is malformed: its pictures name the same records over and over");
        out.order.push_back(it->second);
    }
    return out;
}

} // namespace orvelio
