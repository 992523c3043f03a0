#include "picture_format.hpp"

namespace orvelio {

using namespace std::string_view_literals;

namespace {

// h[from:to] as a Python slice gives it: shorter, or empty, near the end.
std::string_view slice(std::string_view h, size_t from, size_t to) {
    return from >= h.size() ? std::string_view{} : h.substr(from, to - from);
}

bool one_of(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }

// The portable any-map family: "P", a digit naming the kind, then white space.
bool any_map(std::string_view h, std::string_view digits) {
    return h.size() >= 3 && h[0] == 'P' && one_of(h[1], digits) && one_of(h[2], " \t\n\r"sv);
}

} // namespace

const char *picture_format(std::string_view h) {
    if (slice(h, 6, 10) == "JFIF"sv || slice(h, 6, 10) == "Exif"sv || h.starts_with("\xff\xd8\xff\xdb"sv))
        return "jpeg";
    if (h.starts_with("\x89PNG\r\n\x1a\n"sv))
        return "png";
    if (h.starts_with("GIF87a"sv) || h.starts_with("GIF89a"sv))
        return "gif";
    if (h.starts_with("MM"sv) || h.starts_with("II"sv))
        return "tiff";
    if (h.starts_with("\x01\xda"sv))
        return "rgb";
    if (any_map(h, "14"sv))
        return "pbm";
    if (any_map(h, "25"sv))
        return "pgm";
    if (any_map(h, "36"sv))
        return "ppm";
    if (h.starts_with("\x59\xa6\x6a\x95"sv))
        return "rast";
    if (h.starts_with("#define "sv))
        return "xbm";
    if (h.starts_with("BM"sv))
        return "bmp";
    if (h.starts_with("RIFF"sv) && slice(h, 8, 12) == "WEBP"sv)
        return "webp";
    if (h.starts_with("\x76\x2f\x31\x01"sv))
        return "exr";
    return nullptr;
}

} // namespace orvelio
