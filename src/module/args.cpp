#include "args.hpp"
#include "capi.hpp"

#include <string_view>

namespace orvelio::py {

namespace {

void raise_count(const ArgSpec &spec, Py_ssize_t given) {
    const Py_ssize_t max = static_cast<Py_ssize_t>(spec.names.size());
    const Py_ssize_t min = static_cast<Py_ssize_t>(spec.required);
    const bool exact = min == max;
    Py_ssize_t expected = given < min ? min : max;
    const char *bound = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.func, bound,
                 expected, expected == 1 ? "" : "s", given);
}

} // namespace

bool parse_args(const ArgSpec &spec, PyObject *args, PyObject *kwargs, ParsedArgs &out) {
    const size_t n = spec.names.size();
    const Py_ssize_t npos = capi::tuple_size(args);
    out.values.assign(n, nullptr);
    if (npos > static_cast<Py_ssize_t>(n)) {
        raise_count(spec, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i)
        out.values[static_cast<size_t>(i)] = capi::tuple_item(args, i);

    if (kwargs && capi::dict_size(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.func);
                return false;
            }
            Py_ssize_t length;
            const char *chars = PyUnicode_AsUTF8AndSize(key, &length);
            if (!chars)
                return false;
            const std::string_view name(chars, static_cast<size_t>(length));
            size_t idx = 0;
            for (const char *candidate : spec.names) {
                if (name == candidate)
                    break;
                ++idx;
            }
            if (idx < n) {
                if (out.values[idx]) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.func,
                                 key);
                    return false;
                }
                out.values[idx] = value;
            } else if (spec.collect_kwargs) {
                if (!out.extra && !(out.extra = PyDict_New()))
                    return false;
                if (PyDict_SetItem(out.extra, key, value) < 0)
                    return false;
            } else {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.func, key);
                return false;
            }
        }
    }
    for (size_t i = 0; i < spec.required; ++i) {
        if (!out.values[i]) {
            raise_count(spec, static_cast<Py_ssize_t>(i));
            return false;
        }
    }
    if (spec.collect_kwargs && !out.extra && !(out.extra = PyDict_New()))
        return false;
    return true;
}

bool check_str_or_none(const char *name, PyObject *value) {
    if (value == Py_None || PyUnicode_CheckExact(value))
        return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, "str",
                 capi::type_name(value).c_str());
    return false;
}

} // namespace orvelio::py
