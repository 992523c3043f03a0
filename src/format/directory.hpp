// The file header, the block directory with its 64-bit extension, and the block type word.
#pragma once

#include "file.hpp"

#include <cstdint>
#include <vector>

namespace orvelio {

inline constexpr int32_t kMagic = 168492798; // the bytes 0A 0A FE FE, read big-endian

// Extended types with a meaning of their own.
inline constexpr int kExtend2D = 0;
inline constexpr int kExtend3D = 10;
inline constexpr int kExtendAnnotation = 11;
inline constexpr int kExtendImages = 20;
inline constexpr int kExtendDirectory64 = 64;

struct BlockType {
    int complexType = 0;
    int sampleType = 0;
    int paramType = 0;
    int dataType = 0;
    int derivType = 0;
    int extendType = 0;
    bool operator==(const BlockType &) const = default;
};

// The six fields of a block type word of any width and sign (arithmetic shifts, so a
// negative 32-bit word gives the fields of its unsigned reading).
BlockType decode_block_type(int64_t word);

struct DirEntry {
    BlockType type;
    int64_t sizeInWords = 0;
    int64_t byteOffset = 0;
};

// Whether the first four bytes are the magic; fails with the short-read error before 4 bytes.
bool is_orvel(File &f);

// All entries: the 32-bit directory in file order, then the 64-bit extension's entries.
std::vector<DirEntry> read_directory(File &f);

} // namespace orvelio
