// Picture formats recognised from their leading bytes.
#pragma once

#include <string_view>

namespace orvelio {

// The format of a picture: "jpeg", "png", "gif", "tiff", "rgb", "pbm", "pgm", "ppm", "rast",
// "xbm", "bmp", "webp" or "exr", tested in that order, with the names and rules of the
// interpreter's imghdr.what; nullptr when none matches.
const char *picture_format(std::string_view head);

} // namespace orvelio
