#include "directory.hpp"

#include "error.hpp"

#include <cstring>

namespace orvelio {

BlockType decode_block_type(int64_t word) {
    BlockType t;
    t.complexType = static_cast<int>(word & 0x3);
    t.sampleType = static_cast<int>((word >> 2) & 0x3);
    t.paramType = static_cast<int>((word >> 4) & 0x3F);
    t.dataType = static_cast<int>((word >> 10) & 0x7F);
    t.derivType = static_cast<int>((word >> 17) & 0x3);
    t.extendType = static_cast<int>((word >> 19) & 0x7F);
    return t;
}

bool is_orvel(File &f) {
    f.seek(0);
    unsigned char b[4];
    if (f.read(b, 4) != 4)
        fail_short(4, 0, "the magic number");
    const uint32_t be = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    return static_cast<int32_t>(be) == kMagic;
}

namespace {

// A run of `count` fields of `width` bytes that the file cannot hold ends, when read one
// by one, in the short-read error of that width; say so before reading any of it.
void require_room(const File &f, int64_t count, int64_t entry_bytes, size_t width) {
    const uint64_t per = static_cast<uint64_t>(entry_bytes);
    if (count > 0 && static_cast<uint64_t>(count) > f.have(std::min<uint64_t>(count, UINT64_MAX / per) * per) / per)
        fail_short(width, std::nullopt,
                   "the directory of " + std::to_string(count) + " entries at byte " + std::to_string(f.tell()) +
                       " ends inside a field");
}

} // namespace

std::vector<DirEntry> read_directory(File &f) {
    const Reading header(f, "the file header", 0);
    f.seek(4);
    f.read_f64(); // version number, not used
    const int32_t offsetToDirectory = f.read_i32();
    f.read_i32(); // maximum directory size, not used
    const int32_t dirSize = f.read_i32();

    std::vector<DirEntry> dir;
    const Reading directory(f, "the directory", offsetToDirectory);
    f.seek(offsetToDirectory);
    require_room(f, dirSize, 12, 4);
    int64_t offset64 = 0;
    int32_t read = 0;
    // The entries straight from memory when they are all there (the usual case: the window
    // holds the directory), else field by field.
    if (const std::span<const uint8_t> w = f.window(); dirSize > 0 && w.size() / 12 >= static_cast<size_t>(dirSize)) {
        dir.reserve(static_cast<size_t>(dirSize));
        for (; read < dirSize; ++read) {
            int32_t field[3];
            std::memcpy(field, w.data() + 12 * static_cast<size_t>(read), sizeof field);
            DirEntry e;
            e.type = decode_block_type(field[0]);
            e.sizeInWords = field[1];
            e.byteOffset = field[2];
            if (e.type.extendType == kExtendDirectory64)
                offset64 = e.byteOffset;
            dir.push_back(e);
        }
        f.skip(12 * static_cast<size_t>(dirSize));
    }
    for (; read < dirSize; ++read) {
        DirEntry e;
        e.type = decode_block_type(f.read_i32());
        e.sizeInWords = f.read_i32();
        e.byteOffset = f.read_i32();
        if (e.type.extendType == kExtendDirectory64)
            offset64 = e.byteOffset;
        dir.push_back(e);
    }
    if (offset64 != 0) {
        const Reading directory64(f, "the 64-bit directory", offset64);
        f.seek(offset64);
        const int64_t count = f.read_i64();
        f.read_i64(); // not used
        require_room(f, count, 32, 8);
        for (int64_t i = 0; i < count; ++i) {
            const int64_t word = f.read_i64();
            DirEntry e;
            e.sizeInWords = f.read_i64();
            e.byteOffset = f.read_i64();
            f.read_i64(); // not used
            e.type = decode_block_type(word);
            dir.push_back(e);
        }
    }
    return dir;
}

} // namespace orvelio
