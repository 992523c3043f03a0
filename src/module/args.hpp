// Argument matching for the functions and constructors the module defines by hand.
//
// Every callable of the module takes its arguments by position or by keyword and
// reports a mismatch with the same TypeError texts, e.g.
//   "getOrvelData() takes exactly 2 positional arguments (1 given)"
//   "decode_string() takes at most 2 positional arguments (3 given)"
//   "__init__() got multiple values for keyword argument 'y'"
//   "listContents() got an unexpected keyword argument 'file'"
#pragma once

#include <Python.h>

#include <initializer_list>
#include <vector>

namespace orvelio::py {

struct ArgSpec {
    const char *func;                          // name used in messages, e.g. "__init__"
    std::initializer_list<const char *> names; // parameters in order (for methods, "self" first)
    size_t required;                           // how many leading parameters are required
    bool collect_kwargs = false;               // true for "**kwds": unknown keywords are collected
};

struct ParsedArgs {
    std::vector<PyObject *> values; // borrowed; nullptr where an optional argument was not given
    PyObject *extra = nullptr;      // new reference to a dict of collected keywords (collect_kwargs only)
    ParsedArgs() = default;
    ParsedArgs(const ParsedArgs &) = delete;
    ParsedArgs &operator=(const ParsedArgs &) = delete;
    ~ParsedArgs() { Py_XDECREF(extra); }
};

// Matches `args` (a tuple) and `kwargs` (a dict or nullptr) against `spec`.
// Returns false with a TypeError set on a mismatch.
bool parse_args(const ArgSpec &spec, PyObject *args, PyObject *kwargs, ParsedArgs &out);

// The check of a `path` that must be a str or None: false with the TypeError
// "Argument 'path' has incorrect type (expected str, got bytes)" set otherwise.
bool check_str_or_none(const char *name, PyObject *value);

} // namespace orvelio::py
