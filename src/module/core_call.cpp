#include "core_call.hpp"
#include "capi.hpp"

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

// What a signal handler raised in the middle of a core call, kept until the call's
// ErrorDetail::interrupted is shown (in the same thread, the signal thread).
struct Raised {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
};
Raised g_raised;

// The core's interrupt check: runs Python's signal handlers; a handler that raises stops the call.
bool check_python_signals(void *) {
    if (PyThread_get_thread_ident() != g_signal_thread)
        return false; // Python runs its handlers in that thread only
    nb::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0)
        return false;
    Py_XDECREF(g_raised.type), Py_XDECREF(g_raised.value), Py_XDECREF(g_raised.traceback);
    PyErr_Fetch(&g_raised.type, &g_raised.value, &g_raised.traceback);
    return true;
}

// How the module shows each detail of a core error: one row per detail, in its order, with the
// exception type and its text. A text is the core's message (the library's own words, which the
// functions show as they are) or, where the functions show the interpreter's or numpy's words
// for the same fault, a str.format template filled with the error's operands.
enum class Shown {
    ValueError,
    KeyError, // the one operand is the missing key
    IndexError,
    TypeError,
    AttributeError,
    ZeroDivisionError,
    OverflowError,
    MemoryError,
    StructError,        // the struct module's error
    OSError,            // from the errno
    UnicodeDecodeError, // the codec's own error for the bytes (the one operand)
    Linspace,           // numpy.linspace's own error for the operands (start, stop, num)
    Raised,             // what the signal handler raised (KeyboardInterrupt when nothing was kept)
};

struct ShownAs {
    ErrorDetail detail;
    Shown shown;
    const char *text; // nullptr: the message
};

constexpr ShownAs kShown[] = {
    {ErrorDetail::not_orvel, Shown::ValueError, nullptr},
    {ErrorDetail::short_field, Shown::StructError, "unpack requires a buffer of {0} bytes"},
    {ErrorDetail::values_cut_short, Shown::ValueError,
     "could not broadcast input array from shape ({0},) into shape ({1},)"},
    {ErrorDetail::missing_key, Shown::KeyError, nullptr},
    {ErrorDetail::bad_index, Shown::IndexError, nullptr},
    {ErrorDetail::bad_operand, Shown::TypeError, "unsupported operand type(s) for {0}: '{1}' and '{2}'"},
    {ErrorDetail::bad_attribute, Shown::AttributeError, "'{0}' object has no attribute 'rstrip'"},
    {ErrorDetail::division_by_zero, Shown::ZeroDivisionError, "integer modulo by zero"},
    {ErrorDetail::out_of_range, Shown::OverflowError, "Python integer {0} out of bounds for int32"},
    {ErrorDetail::bad_value, Shown::ValueError, nullptr},
    {ErrorDetail::bad_text, Shown::UnicodeDecodeError, nullptr},
    {ErrorDetail::bad_axis, Shown::Linspace, nullptr},
    {ErrorDetail::bad_position, Shown::OSError, nullptr},
    {ErrorDetail::unknown_type, Shown::ValueError, "Unexpected value for reading parameter type: {0}"},
    {ErrorDetail::too_large, Shown::ValueError,
     "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size."},
    {ErrorDetail::no_memory, Shown::MemoryError, nullptr},
    {ErrorDetail::system, Shown::OSError, nullptr},
    {ErrorDetail::bad_request, Shown::ValueError, nullptr},
    {ErrorDetail::bad_row, Shown::IndexError, nullptr},
    {ErrorDetail::no_block, Shown::ValueError, nullptr},
    {ErrorDetail::file_changed, Shown::ValueError, nullptr},
    {ErrorDetail::past_end, Shown::IndexError, "list index out of range"},
    {ErrorDetail::index_out_of_bounds, Shown::IndexError, "index {0} is out of bounds for axis {1} with size {2}"},
    {ErrorDetail::not_an_index, Shown::IndexError,
     "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or boolean arrays are "
     "valid indices"},
    {ErrorDetail::not_integer, Shown::TypeError, "'{0}' object cannot be interpreted as an integer"},
    {ErrorDetail::bad_length, Shown::TypeError, "argument should be integer or None, not '{0}'"},
    {ErrorDetail::bad_shape, Shown::TypeError, "expected a sequence of integers or a single integer, got '{0}'"},
    {ErrorDetail::not_a_number, Shown::ValueError, "could not convert string to float: {0!r}"},
    {ErrorDetail::nan_integer, Shown::ValueError, "cannot convert float NaN to integer"},
    {ErrorDetail::infinite_integer, Shown::OverflowError, "cannot convert float infinity to integer"},
    {ErrorDetail::offset_too_large, Shown::ValueError, "cannot fit 'int' into an offset-sized integer"},
    {ErrorDetail::unknown_region, Shown::ValueError, "{0} is not in list"},
    {ErrorDetail::negative_count, Shown::ValueError, "negative dimensions are not allowed"},
    {ErrorDetail::unequal_lengths, Shown::ValueError,
     "all the input array dimensions except for the concatenation axis must match exactly, but along dimension 1, "
     "the array at index 0 has size {0} and the array at index {1} has size {2}"},
    {ErrorDetail::no_subblocks, Shown::ValueError, "need at least one array to concatenate"},
    {ErrorDetail::grid_mismatch, Shown::ValueError, "cannot reshape array of size {0} into shape ({1},{2})"},
    {ErrorDetail::bad_repeat, Shown::TypeError, "can't multiply sequence by non-int of type '{0}'"},
    {ErrorDetail::bad_concat, Shown::TypeError, "can only concatenate str (not \"{0}\") to str"},
    {ErrorDetail::interrupted, Shown::Raised, nullptr},
};

constexpr bool in_detail_order() {
    for (size_t i = 0; i < std::size(kShown); ++i)
        if (static_cast<size_t>(kShown[i].detail) != i)
            return false;
    return true;
}
static_assert(std::size(kShown) == kErrorDetailCount && in_detail_order(), "one row per detail, in order");

// The text of a row: its template filled with the operands, or the message.
nb::object text_of(const ShownAs &row, const Error &e) {
    if (!row.text)
        return utf8(e.message());
    nb::list operands;
    for (const Value &v : e.operands())
        operands.append(to_python(v));
    return nb::str(row.text).attr("format")(*operands);
}

void set_exception(const Error &e) {
    PyObject *type = nullptr;
    const ShownAs &row = kShown[static_cast<size_t>(e.detail())];
    switch (row.shown) {
    case Shown::ValueError: type = PyExc_ValueError; break;
    case Shown::IndexError: type = PyExc_IndexError; break;
    case Shown::TypeError: type = PyExc_TypeError; break;
    case Shown::AttributeError: type = PyExc_AttributeError; break;
    case Shown::ZeroDivisionError: type = PyExc_ZeroDivisionError; break;
    case Shown::OverflowError: type = PyExc_OverflowError; break;
    case Shown::StructError: break;
    case Shown::MemoryError:
        PyErr_NoMemory();
        return;
    case Shown::KeyError: {
        const std::string &key = std::get<std::string>(e.operands().at(0));
        PyObject *k = PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace");
        if (k) {
            PyErr_SetObject(PyExc_KeyError, k);
            Py_DECREF(k);
        }
        return;
    }
    case Shown::OSError:
        set_os_error(e.system_errno());
        return;
    case Shown::Raised:
        if (g_raised.type)
            PyErr_Restore(std::exchange(g_raised.type, nullptr), std::exchange(g_raised.value, nullptr),
                          std::exchange(g_raised.traceback, nullptr));
        else
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        return;
    case Shown::UnicodeDecodeError:
    case Shown::Linspace:
        try {
            const std::vector<Value> &operands = e.operands();
            if (row.shown == Shown::UnicodeDecodeError) {
                // Let the codec itself describe the bytes it refuses.
                const std::string &raw = std::get<std::string>(operands.at(0));
                nb::bytes(raw.data(), raw.size()).attr("decode")("utf-8");
            } else {
                // numpy describes what it cannot make of these arguments.
                module_attr("numpy", "linspace")(to_python(operands.at(0)), to_python(operands.at(1)),
                                                  to_python(operands.at(2)));
            }
            PyErr_SetString(PyExc_ValueError, e.message().c_str());
        } catch (nb::python_error &err) {
            err.restore();
        }
        return;
    }
    try {
        nb::object text = text_of(row, e);
        PyErr_SetObject(type ? type : module_attr("struct", "error").ptr(), text.ptr());
    } catch (nb::python_error &err) {
        err.restore();
    }
}

} // namespace

void install_interrupt_check() {
    g_signal_thread = PyThread_get_thread_ident();
    set_interrupt_check(check_python_signals);
}

void set_error(const Error &e, bool annotate) {
    set_exception(e);
    if (!annotate || !PyErr_Occurred())
        return;
    // The code and offset ride on the exception as attributes.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        const std::string_view code = to_string(e.code());
        PyObject *c = PyUnicode_FromStringAndSize(code.data(), static_cast<Py_ssize_t>(code.size()));
        PyObject *o = e.offset() ? PyLong_FromUnsignedLongLong(*e.offset()) : Py_NewRef(Py_None);
        if (!c || !o || PyObject_SetAttrString(value, "orvel_code", c) < 0 ||
            PyObject_SetAttrString(value, "orvel_offset", o) < 0)
            PyErr_Clear();
        Py_XDECREF(c);
        Py_XDECREF(o);
    }
    PyErr_Restore(type, value, tb);
}

void emit(const std::vector<Note> &notes, bool as_warnings) {
    if (notes.empty())
        return;
    nb::object print = module_attr("builtins", "print");
    nb::object warn = module_attr("warnings", "warn");
    for (const Note &n : notes) {
        if (n.kind == Note::Kind::warning)
            warn(utf8(n.text), nb::handle(PyExc_RuntimeWarning));
        else if (as_warnings)
            warn(utf8(n.text), nb::handle(PyExc_UserWarning));
        else
            print(utf8(n.text));
    }
}

namespace {

// Item i of the request, upper-cased by its own upper().
std::string request_word(nb::handle datablock, Py_ssize_t i) {
    PyObject *d = datablock.ptr();
    // A tuple or list of plain ASCII str: str.upper() changes only a to z.
    if (PyTuple_CheckExact(d) || PyList_CheckExact(d)) {
        PyObject *item = capi::sequence_item(d, i);
        Py_ssize_t n;
        if (const char *s = item ? capi::ascii_chars(item, &n) : nullptr) {
            std::string word(s, static_cast<size_t>(n));
            for (char &c : word)
                if (c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 'a' + 'A');
            return word;
        }
    }
    nb::object item = nb::steal(PyObject_GetItem(d, nb::int_(i).ptr()));
    if (!item.is_valid())
        throw nb::python_error();
    nb::object upper = item.attr("upper")();
    if (!PyUnicode_Check(upper.ptr())) {
        PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", capi::type_name(upper.ptr()).c_str());
        throw nb::python_error();
    }
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(upper.ptr(), &n);
    if (!s)
        throw nb::python_error();
    return std::string(s, static_cast<size_t>(n));
}

} // namespace

Block request_block(nb::handle datablock) {
    Block b;
    b.type = request_word(datablock, 0);
    b.dimensions = request_word(datablock, 1);
    b.derivative = request_word(datablock, 2);
    return b;
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
    // A plain ASCII str without NUL is its own encoding in every file system encoding.
    Py_ssize_t n;
    if (const char *s = capi::ascii_chars(p, &n)) {
        if (std::strlen(s) == static_cast<size_t>(n)) {
            name_ = nb::borrow(p);
            cpath_ = s;
            return;
        }
    }
    name_ = nb::steal(PyOS_FSPath(p));
    if (!name_.is_valid())
        throw nb::python_error();
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(name_.ptr(), &encoded))
        throw nb::python_error();
    encoded_ = nb::steal(encoded);
    cpath_ = capi::bytes_data(encoded);
}

int OpenFile::open(bool check_dir) {
    if (pyfile_.is_valid())
        return 0;
    // An open that blocks (a FIFO without a writer) is interrupted by signals: their handlers
    // run, and the open is tried again unless one of them raised.
    for (;;) {
        fd_ = ::open(cpath_, O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0 || errno != EINTR)
            break;
        check_interrupt();
    }
    if (fd_ < 0)
        return errno;
    return check_dir ? not_dir() : 0;
}

int OpenFile::not_dir() {
    if (pyfile_.is_valid())
        return 0;
    struct stat st;
    if (const int err = fstat(fd_, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0) {
        close_fd();
        return err;
    }
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

nb::list text_list(const std::vector<std::string> &texts) {
    nb::list out;
    for (const std::string &t : texts)
        out.append(utf8(t));
    return out;
}

namespace {

nb::object steal_new(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return nb::steal(o);
}

} // namespace

nb::object to_python(const Value &v) {
    return std::visit(
        [](const auto &x) -> nb::object {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return nb::none();
            else if constexpr (std::is_same_v<T, int64_t>)
                return steal_new(PyLong_FromLongLong(x));
            else if constexpr (std::is_same_v<T, double>)
                return steal_new(PyFloat_FromDouble(x));
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
    // Byte by byte: a copy of a variable length into `key` would stall the load that follows.
    for (size_t i = s.size(); i-- > 0;)
        key = key << 8 | static_cast<unsigned char>(s[i]);
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

nb::dict to_python(const Parameters &params) {
    // Sized for every item at once: the dictionary is never grown on the way.
    nb::dict d = nb::steal<nb::dict>(capi::dict_presized(static_cast<Py_ssize_t>(params.size())));
    if (!d.is_valid())
        throw nb::python_error();
    for (const auto &[name, value] : params) {
        // Short texts (units, modes, flags) recur from file to file like the names do.
        const std::string *text = std::get_if<std::string>(&value);
        nb::object v = text && text->size() < 8 ? cached_str(*text) : to_python(value);
        if (PyDict_SetItem(d.ptr(), cached_str(name).ptr(), v.ptr()) < 0)
            throw nb::python_error();
    }
    return d;
}

} // namespace orvelio::py
