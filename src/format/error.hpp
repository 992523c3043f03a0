// Errors of the core: orvelio::Error (the public header) with the detail of what failed, its
// message and, where known, the byte offset. How a binding shows them is the binding's affair.
#pragma once

#include "orvelio/orvelio.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace orvelio {

[[noreturn]] inline void fail(ErrorDetail detail, std::string message, std::optional<uint64_t> offset = std::nullopt) {
    throw Error(detail, std::move(message), offset);
}

// ------------------------------------------------------------------ shared failures

// A name looked up and not found: the message is the name.
[[noreturn]] inline void fail_key(std::string key) { throw Error(ErrorDetail::missing_key, std::move(key)); }

// A fixed-width field of `width` bytes cut short by the end of the input.
[[noreturn]] inline void fail_short(size_t width, std::optional<uint64_t> offset = std::nullopt) {
    throw Error(ErrorDetail::short_field, "unpack requires a buffer of " + std::to_string(width) + " bytes", offset);
}

// A system call refused with `err_no`.
[[noreturn]] inline void fail_os(int err_no) {
    Error e(ErrorDetail::system, std::strerror(err_no));
    e.with_errno(err_no);
    throw e;
}

// A position before the start of the input, as seeking there fails (EINVAL).
[[noreturn]] inline void fail_position() {
    Error e(ErrorDetail::bad_position, "");
    e.with_errno(EINVAL);
    throw e;
}

// A read that ended before the size the file had when it was opened: it was cut or rewritten.
[[noreturn]] inline void fail_changed() {
    throw Error(ErrorDetail::file_changed, "the file changed since it was opened");
}

} // namespace orvelio
