// Errors of the core: orvelio::Error (the public header) with the detail of what failed, its
// message and, where known, the byte offset. How a binding shows them is the binding's affair.
#pragma once

#include "orvelio/orvelio.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvelio {

[[noreturn]] inline void fail(ErrorDetail detail, std::string message, std::optional<uint64_t> offset = std::nullopt) {
    throw Error(detail, std::move(message), offset);
}

// A failure whose operands a binding shows (see ErrorDetail).
[[noreturn]] inline void fail_with(ErrorDetail detail, std::string message, std::vector<Value> operands,
                                   std::optional<uint64_t> offset = std::nullopt) {
    Error e(detail, std::move(message), offset);
    e.with_operands(std::move(operands));
    throw e;
}

// ------------------------------------------------------------------ shared failures

// A name looked up and not found: `what` names where it was looked for ("parameter", "column").
[[noreturn]] inline void fail_key(std::string key, std::string_view what) {
    fail_with(ErrorDetail::missing_key, "no " + std::string(what) + " named '" + key + "'", {std::move(key)});
}

// A fixed-width field of `width` bytes cut short by the end of the input; `what` names the field
// ("the directory entry", "the store table").
[[noreturn]] inline void fail_short(size_t width, std::optional<uint64_t> offset = std::nullopt,
                                    std::string_view what = "a field") {
    fail_with(ErrorDetail::short_field,
         std::string(what) + " of " + std::to_string(width) + " bytes is cut short by the end of the input",
         {static_cast<int64_t>(width)}, offset);
}

// A system call refused with `err_no`; the message is the system's text after `what`.
[[noreturn]] inline void fail_os(int err_no, std::string_view what = "reading the input") {
    Error e(ErrorDetail::system, std::string(what) + " failed: " + std::strerror(err_no));
    e.with_errno(err_no);
    throw e;
}

// A position before the start of the input, as seeking there fails (EINVAL).
[[noreturn]] inline void fail_position(int64_t position, std::string_view what = "a position") {
    Error e(ErrorDetail::bad_position, std::string(what) + " is negative (" + std::to_string(position) + ")");
    e.with_errno(EINVAL);
    throw e;
}

// A read that ended before the size the file had when it was opened: it was cut or rewritten.
[[noreturn]] inline void fail_changed() {
    throw Error(ErrorDetail::file_changed, "the file changed since it was opened");
}

} // namespace orvelio
