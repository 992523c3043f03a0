// The extension module. The package `orvelio` calls `_populate(globals())`, which binds the
// library's names into the package namespace in their order.
#include "args.hpp"
#include "arrays.hpp"
#include "core_call.hpp"
#include "functions.hpp"
#include "results.hpp"

namespace orvelio::py {

nb::dict make_param_labels();
void bind_reader(nb::module_ &m); // reader.cpp
void bind_files(nb::module_ &m);  // files.cpp

namespace {

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

#define ORVELIO_FN(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

PyMethodDef kFunctions[] = {
    {"help", ORVELIO_FN(help), kFlags, "help()\n--\n\nPrint a help message containing the available functions."},
    {"listContents", ORVELIO_FN(listContents), kFlags,
     "listContents(path)\n--\n\nThis function returns a list of datablocks for a given file.\n\n"
     "Each datablock is identified by blocktype, dimensions and derivative,\n"
     "e.g. ('AB', '2D', 'NONE'), and can be passed to getOrvelData()."},
    {"isOrvelFile", ORVELIO_FN(isOrvelFile), kFlags,
     "isOrvelFile(path)\n--\n\nTests if the given file is an ORVEL data file."},
    {"decode_string", ORVELIO_FN(decode_string), kFlags,
     "decode_string(s, encodings=('ascii', 'utf8', 'latin1'))\n--\n\nAttempt to decode a string"},
    {"getOrvelData", ORVELIO_FN(getOrvelData), kFlags,
     "getOrvelData(path, datablock)\n--\n\n"
     "Returns the data and data parameters for the specified datablock.\n\n"
     "datablock is a tuple (datablocktype, dimensions, derivative) as returned by\n"
     "listContents(), e.g. ('AB', '2D', 'NONE'). The returned object's .description\n"
     "tells what it holds."},
    {"getVisImages", ORVELIO_FN(getVisImages), kFlags,
     "getVisImages(path)\n--\n\n"
     "Returns a list with one dictionary per visible image in the file, e.g.\n\n"
     "    {'Title': 'Image 1', 'Pos. X': 1200.5, ..., 'image': b'...', 'imgext': 'bmp'}\n\n"
     "'image' holds the picture's bytes and 'imgext' its format ('bmp' or 'jpeg', ...)."},
};

PyMethodDef kOrvelDict = {"OrvelDict", ORVELIO_FN(OrvelDict), kFlags,
                          "OrvelDict()\n--\n\nReturns a dictionary for translating parameter keys to "
                          "lower_case_strings."};

nb::object make_function(PyMethodDef &def) {
    nb::str module("orvelio");
    return nb::steal(PyCFunction_NewEx(&def, nullptr, module.ptr()));
}

// Imports `imghdr` without its deprecation warning; nothing where the interpreter has none.
nb::object import_imghdr() {
    nb::module_ warnings = nb::module_::import_("warnings");
    nb::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    nb::object result;
    try {
        warnings.attr("simplefilter")("ignore", nb::handle(PyExc_DeprecationWarning));
        result = nb::module_::import_("imghdr");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ModuleNotFoundError)) {
            guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
            throw;
        }
    }
    guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return result;
}

} // namespace

PyObject *populate(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"_populate", {"namespace"}, 1}, args, kwargs, parsed))
        return nullptr;
    return guarded([&] {
        nb::dict ns = nb::borrow<nb::dict>(parsed.values[0]);
        ns["warnings"] = nb::module_::import_("warnings");
        ns["unpack"] = nb::module_::import_("struct").attr("unpack");
        ns["np"] = nb::module_::import_("numpy");
        if (!import_numpy())
            throw nb::python_error();
        ns["array"] = nb::module_::import_("array");
        if (nb::object imghdr = import_imghdr(); imghdr.is_valid())
            ns["imghdr"] = imghdr;
        if (!add_result_classes(ns.ptr()))
            throw nb::python_error();
        for (PyMethodDef &def : kFunctions)
            ns[def.ml_name] = make_function(def);
        ns["paramDict"] = make_param_labels();
        ns["OrvelDict"] = make_function(kOrvelDict);
        ns["__test__"] = nb::dict();
        return nb::none();
    });
}

} // namespace orvelio::py

using namespace orvelio::py;

NB_MODULE(_orvelio, m) {
    install_interrupt_check();
    static PyMethodDef populate_def = {"_populate", ORVELIO_FN(orvelio::py::populate), kFlags,
                                       "Binds the library's names into a namespace."};
    m.attr("_populate") = nb::steal(PyCFunction_NewEx(&populate_def, nullptr, nullptr));
    orvelio::py::bind_reader(m);
    orvelio::py::bind_files(m);
}
