// Errors of the core. Each carries the Python exception it becomes and its exact message;
// the binding turns it into that exception.
#pragma once

#include "value.hpp"

#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace orvelio {

enum class PyExc {
    ValueError,
    KeyError,          // message is the missing key
    IndexError,
    TypeError,
    AttributeError,
    ZeroDivisionError,
    OverflowError,
    MemoryError,
    StructError,        // the struct module's error
    OSError,            // err_no holds the errno
    UnicodeDecodeError, // raw holds the bytes that failed strict UTF-8 decoding
    Linspace,           // args hold (start, stop, num); numpy.linspace raises the real error
};

struct Error : std::exception {
    PyExc kind;
    std::string message;
    int err_no = 0;
    std::string raw;
    std::vector<Value> args;

    Error(PyExc k, std::string msg) : kind(k), message(std::move(msg)) {}
    const char *what() const noexcept override { return message.c_str(); }
};

[[noreturn]] inline void fail(PyExc kind, std::string message) { throw Error(kind, std::move(message)); }
[[noreturn]] inline void fail_key(std::string key) { throw Error(PyExc::KeyError, std::move(key)); }

// The struct module's message for a field read short.
[[noreturn]] inline void fail_short(size_t width) {
    throw Error(PyExc::StructError, "unpack requires a buffer of " + std::to_string(width) + " bytes");
}

[[noreturn]] inline void fail_os(int err_no) {
    Error e(PyExc::OSError, "");
    e.err_no = err_no;
    throw e;
}

} // namespace orvelio
