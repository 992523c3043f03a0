// Running core code from the binding: files opened as Python opens them, the GIL released
// while the core reads, core errors raised as their Python exceptions.
#pragma once

#include <nanobind/nanobind.h>

#include "orvelio/orvelio.hpp"

#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace orvelio::py {

namespace nb = nanobind;

// Sets the Python exception for a core error; with `annotate`, the exception carries the
// error's code and offset as `orvel_code` and `orvel_offset`.
void set_error(const Error &e, bool annotate = false);

// Lets long reads and interrupted system calls of the core run Python's signal handlers (in the
// thread that imported the module: the one that runs them), raising what they raise.
void install_interrupt_check();

// Shows the notes of a read through Python's print and warnings (with `as_warnings`, the
// lines meant for print become UserWarnings); throws nb::python_error when a warning is
// turned into an exception.
void emit(const std::vector<Note> &notes, bool as_warnings = false);

// A file opened for reading as Python's open(path, "rb") opens it: str, bytes and path-like
// paths directly, anything else (a descriptor, say) through open itself; the errors are
// open's. Used through with_fd and with_reader.
class OpenFile {
  public:
    explicit OpenFile(nb::handle path); // with the GIL: the name made ready, or open() called
    ~OpenFile();
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    // Without the GIL: opens the name (0, or the errno that refused it: EISDIR for a
    // directory, unless `check_dir` is false and the caller checks, see not_dir).
    int open(bool check_dir = true);
    // Without the GIL, after open(false): 0 unless the descriptor is a directory's (EISDIR, the
    // file then closed) or fstat fails (its errno).
    int not_dir();
    int fd() const { return fd_; }
    void close_fd() noexcept; // without the GIL: closes what open() opened

    // With the GIL again: raises open's error for the name, or closes a file Python opened,
    // raising what its close raises.
    [[noreturn]] void raise_open_error(int err) const;
    void close();

  private:
    nb::object name_;    // the path as a str or bytes, for the error's filename
    nb::object encoded_; // the name encoded for the file system
    const char *cpath_ = nullptr; // what open() opens: encoded_'s bytes, or an ASCII name's own
    nb::object pyfile_;  // when opened through Python's open
    int fd_ = -1;        // opened here, or the Python file's
};

// Opens `path` and runs work(int fd) on it, releasing the GIL once for the open, the work and
// the close together; core exceptions pass through to `guarded`.
template <class F> auto with_fd(nb::handle path, F &&work) {
    using R = std::invoke_result_t<F &, int>;
    OpenFile of(path);
    int err = 0;
    std::optional<R> result;
    {
        nb::gil_scoped_release release;
        err = of.open();
        if (!err) {
            result.emplace(work(of.fd()));
            of.close_fd();
        }
    }
    if (err)
        of.raise_open_error(err);
    of.close();
    return std::move(*result);
}

// with_fd, with a Reader on the descriptor made for the one call: the Reader's fstat is the
// only one (a directory, which it takes for a stream, is refused as open refuses it).
template <class F> auto with_reader(nb::handle path, F &&work) {
    using R = std::invoke_result_t<F &, Reader &>;
    OpenFile of(path);
    int err = 0;
    std::optional<R> result;
    {
        nb::gil_scoped_release release;
        err = of.open(false);
        if (!err) {
            Reader r = Reader::from_fd_for_call(of.fd());
            if (r.identity() || !(err = of.not_dir())) {
                result.emplace(work(r));
                of.close_fd();
            }
        }
    }
    if (err)
        of.raise_open_error(err);
    of.close();
    return std::move(*result);
}

// The request words of a datablock tuple: items 0 to 2, each upper-cased by its own upper().
Block request_block(nb::handle datablock);

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
        // nanobind reports a failed conversion (out of memory, say) with an exception of its
        // own while Python's error is set: raise that one.
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

nb::object to_python(const Value &v);
nb::dict to_python(const Parameters &params);
nb::str utf8(std::string_view s);
// Texts (trace labels) as a list of str.
nb::list text_list(const std::vector<std::string> &texts);
// The same for a name that recurs from call to call (parameter names, block names): names of
// up to 7 bytes are made a str once and kept, the first 4,096 of them.
nb::object cached_str(std::string_view s);

} // namespace orvelio::py
