// Running core code from the binding: files opened as Python opens them, the GIL released
// while the core reads, core errors raised as their Python exceptions.
#pragma once

#include <nanobind/nanobind.h>

#include "format/error.hpp"
#include "format/events.hpp"
#include "format/file.hpp"
#include "format/value.hpp"
#include "params/params.hpp"

#include <new>
#include <optional>
#include <utility>

namespace orvelio::py {

namespace nb = nanobind;

// Sets the Python exception for a core error.
void set_error(const Error &e);

// Shows collected lines and warnings through Python's print and warnings; throws
// nb::python_error when a warning is turned into an exception.
void emit(const Events &events);

// A file opened for reading as Python's open(path, "rb") opens it: str, bytes and path-like
// paths directly, anything else (a descriptor, say) through open itself; the errors are
// open's. Closed when the object goes away.
class OpenFile {
  public:
    explicit OpenFile(nb::handle path);
    ~OpenFile();
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    File &file() { return *file_; }
    void close(); // closes now, raising what close raises

  private:
    nb::object pyfile_; // when opened through Python's open
    int fd_ = -1;       // when opened here
    std::optional<File> file_;
};

// Runs f() with the GIL released; core exceptions pass through to `guarded`.
template <class F> auto released(F &&f) {
    nb::gil_scoped_release release;
    return f();
}

// The body of a function written as a PyCFunction: returns the new reference the body gives,
// or nullptr with the matching Python exception set.
template <class F> PyObject *guarded(F &&body) noexcept {
    try {
        return body().release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const Error &e) {
        set_error(e);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

nb::object to_python(const Value &v);
nb::dict to_python(const ParamDict &params);
nb::str utf8(const std::string &s);

} // namespace orvelio::py
