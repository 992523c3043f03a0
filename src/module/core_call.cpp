#include "core_call.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvelio::py {

namespace {

nb::object module_attr(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

void set_os_error(int err_no) {
    errno = err_no;
    PyErr_SetFromErrno(PyExc_OSError);
}

unsigned long g_signal_thread = 0;

void check_python_signals() {
    if (PyThread_get_thread_ident() != g_signal_thread)
        return; // Python runs its handlers in that thread only
    nb::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() < 0)
        throw nb::python_error();
}

} // namespace

void install_interrupt_check() {
    g_signal_thread = PyThread_get_thread_ident();
    set_interrupt_check(check_python_signals);
}

void set_error(const Error &e) {
    PyObject *type = nullptr;
    switch (e.kind) {
    case PyExc::ValueError: type = PyExc_ValueError; break;
    case PyExc::IndexError: type = PyExc_IndexError; break;
    case PyExc::TypeError: type = PyExc_TypeError; break;
    case PyExc::AttributeError: type = PyExc_AttributeError; break;
    case PyExc::ZeroDivisionError: type = PyExc_ZeroDivisionError; break;
    case PyExc::OverflowError: type = PyExc_OverflowError; break;
    case PyExc::MemoryError:
        PyErr_NoMemory();
        return;
    case PyExc::KeyError: {
        PyObject *key = PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace");
        if (key) {
            PyErr_SetObject(PyExc_KeyError, key);
            Py_DECREF(key);
        }
        return;
    }
    case PyExc::OSError:
        set_os_error(e.err_no);
        return;
    case PyExc::StructError:
    case PyExc::UnicodeDecodeError:
    case PyExc::Linspace:
        try {
            if (e.kind == PyExc::StructError) {
                PyErr_SetString(module_attr("struct", "error").ptr(), e.message.c_str());
                return;
            }
            if (e.kind == PyExc::UnicodeDecodeError) {
                // Let the codec itself describe the bytes it refuses.
                nb::bytes(e.raw.data(), e.raw.size()).attr("decode")("utf-8");
            } else {
                // numpy describes what it cannot make of these arguments.
                module_attr("numpy", "linspace")(to_python(e.args.at(0)), to_python(e.args.at(1)),
                                                  to_python(e.args.at(2)));
            }
            PyErr_SetString(PyExc_ValueError, e.message.c_str());
        } catch (nb::python_error &err) {
            err.restore();
        }
        return;
    }
    PyErr_SetString(type, e.message.c_str());
}

void emit(const Events &events) {
    if (events.empty())
        return;
    nb::object print = module_attr("builtins", "print");
    nb::object warn = module_attr("warnings", "warn");
    for (const Event &ev : events) {
        if (ev.kind == Event::Kind::Print)
            print(utf8(ev.text));
        else
            warn(utf8(ev.text), nb::handle(PyExc_RuntimeWarning));
    }
}

OpenFile::OpenFile(nb::handle path) {
    PyObject *p = path.ptr();
    if (!PyUnicode_Check(p) && !PyBytes_Check(p) && !PyObject_HasAttrString(p, "__fspath__")) {
        pyfile_ = module_attr("io", "open")(path, "rb", 0);
        try {
            fd_ = nb::cast<int>(pyfile_.attr("fileno")());
        } catch (...) {
            close();
            throw;
        }
        return;
    }
    name_ = nb::steal(PyOS_FSPath(p));
    if (!name_.is_valid())
        throw nb::python_error();
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(name_.ptr(), &encoded))
        throw nb::python_error();
    encoded_ = nb::steal(encoded);
}

int OpenFile::open() {
    if (pyfile_.is_valid()) {
        file_.emplace(File::from_fd(fd_));
        return 0;
    }
    // An open that blocks (a FIFO without a writer) is interrupted by signals: their handlers
    // run, and the open is tried again unless one of them raised.
    for (;;) {
        fd_ = ::open(PyBytes_AS_STRING(encoded_.ptr()), O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0 || errno != EINTR)
            break;
        check_interrupt();
    }
    if (fd_ < 0)
        return errno;
    struct stat st;
    if (const int err = fstat(fd_, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0) {
        close_fd();
        return err;
    }
    file_.emplace(File::from_fd(fd_, st));
    return 0;
}

void OpenFile::close_fd() noexcept {
    if (fd_ >= 0 && !pyfile_.is_valid()) {
        ::close(fd_);
        fd_ = -1;
    }
}

void OpenFile::raise_open_error(int err) const {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
    throw nb::python_error();
}

void OpenFile::close() {
    close_fd();
    if (!pyfile_.is_valid())
        return;
    fd_ = -1;
    nb::object f = std::move(pyfile_);
    f.attr("close")();
}

OpenFile::~OpenFile() {
    if (fd_ < 0 && !pyfile_.is_valid())
        return;
    // Closing on an error path: keep the error that is on its way out.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        close();
    } catch (nb::python_error &) {
    }
    PyErr_Restore(type, value, tb);
}

nb::str utf8(std::string_view s) {
    // Python's own error (MemoryError, UnicodeDecodeError) rather than nanobind's.
    PyObject *str = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (!str)
        throw nb::python_error();
    return nb::steal<nb::str>(str);
}

nb::object to_python(const Value &v) {
    return std::visit(
        [](const auto &x) -> nb::object {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return nb::none();
            else if constexpr (std::is_same_v<T, int64_t>)
                return nb::int_(x);
            else if constexpr (std::is_same_v<T, double>)
                return nb::float_(x);
            else
                return utf8(x);
        },
        v);
}

nb::object cached_str(std::string_view s) {
    constexpr size_t kSlots = 8192, kMost = kSlots / 2;
    struct Slot {
        uint64_t key;
        PyObject *str; // nullptr: empty
    };
    static Slot *const slots = new Slot[kSlots](); // kept for the life of the process
    static size_t used = 0;
    uint64_t key = 0;
    if (s.size() >= sizeof key)
        return utf8(s);
    std::memcpy(&key, s.data(), s.size());
    key = key << 8 | s.size();
    // Open addressing, at most half full, so that every search ends at an empty slot.
    for (size_t i = (key * 0x9E3779B97F4A7C15ull) >> 51;; i = (i + 1) % kSlots) {
        Slot &slot = slots[i];
        if (!slot.str) {
            nb::str made = utf8(s);
            if (used < kMost) {
                slot = {key, nb::object(made).release().ptr()};
                ++used;
            }
            return made;
        }
        if (slot.key == key)
            return nb::borrow(slot.str);
    }
}

nb::dict to_python(const ParamDict &params) {
    nb::dict d;
    for (const auto &[name, value] : params.items())
        if (PyDict_SetItem(d.ptr(), cached_str(name).ptr(), to_python(value).ptr()) < 0)
            throw nb::python_error();
    return d;
}

} // namespace orvelio::py
