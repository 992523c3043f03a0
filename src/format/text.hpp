// Text fields: bytes cut at their first NUL and decoded as ASCII, else UTF-8, else Latin-1.
// Results are UTF-8 strings.
#pragma once

#include <string>
#include <string_view>

namespace orvelio {

// Whether the bytes are UTF-8 as a strict decoder accepts it (no overlong forms,
// no surrogates, nothing above U+10FFFF, no truncated sequence).
bool is_strict_utf8(std::string_view bytes);

// The default decoding of a text field: the bytes themselves when they are UTF-8 (ASCII
// included), else their Latin-1 reading.
std::string decode_text(std::string_view bytes);

// The bytes before the first NUL (all of them when there is none).
inline std::string_view before_nul(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

// before_nul, then decode_text.
inline std::string text_field(std::string_view bytes) { return decode_text(before_nul(bytes)); }

} // namespace orvelio
