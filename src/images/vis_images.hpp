// The visible pictures of a file. They live in the first image block of the directory: a
// run of chunks, each an image-set parameter block (picture count, offsets and lengths of the
// picture records) followed by picture records (a parameter block, then the picture's bytes).
#pragma once

#include "format/error.hpp"
#include "format/file.hpp"
#include "params/params.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvelio {

struct VisPicture {
    // "Title" and the labelled values in reading order; a label met again keeps its
    // first place and takes the new value.
    ParamDict entries;
    // Whether the picture's bytes are stored (picture type 9); "image" and "imgext" then
    // follow the entries, taking the place of equal labels.
    bool has_image = false;
    std::string image;
    const char *format = nullptr; // picture_format of the bytes; nullptr: not recognised
};

struct VisImages {
    // Distinct picture records, each read once; pictures whose codes point at the same
    // record share it.
    std::vector<VisPicture> pictures;
    // The listing in picture order: one index into `pictures` per picture code.
    std::vector<size_t> order;
};

// The pictures of the file's first image block; none when it has no image block. A walk
// whose chunk offsets lead back to a chunk already read fails with ErrorDetail::bad_value.
VisImages read_vis_images(File &f);

// The code of picture number i: 00 to 99, then AA to AZ, BA to ZZ, AAA, ...
// Negative numbers give their decimal form ("-1").
std::string picture_code(int64_t i);

} // namespace orvelio
