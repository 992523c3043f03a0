// The result classes are ordinary Python classes, created with type(name, bases, namespace)
// so that they behave exactly like classes written in Python: instances carry a __dict__,
// callers may subclass them, and pickling finds them as orvelio.<name>. Their methods are
// C functions wrapped as instance methods, so they bind to the instance like Python
// functions do and receive it as their first positional argument.
#include "results.hpp"

#include "args.hpp"
#include "texts.hpp"

#include <cstring>
#include <utility>
#include <vector>

namespace orvelio::py {

namespace {

constexpr size_t kClassCount = 9;

// One strong reference per class, held for the life of the process.
PyObject *g_classes[kClassCount] = {};

PyObject *class_of(ResultClass c) { return g_classes[static_cast<size_t>(c)]; }

// Owns one reference.
class Ref {
  public:
    explicit Ref(PyObject *o = nullptr) : p_(o) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    PyObject *get() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_;
};

// The attribute an argument is kept in: its parameter's name, except `deriv`, kept as
// `derivative`.
const char *attribute_name(const char *param) { return std::strcmp(param, "deriv") == 0 ? "derivative" : param; }

// Stores every parsed argument after the instance in its attribute, in parameter order.
bool store_arguments(const ArgSpec &spec, const ParsedArgs &args) {
    PyObject *self = args.values[0];
    size_t i = 0;
    for (const char *name : spec.names) {
        if (i > 0 && PyObject_SetAttrString(self, attribute_name(name), args.values[i]) < 0)
            return false;
        ++i;
    }
    return true;
}

// self.description = self.description + text
bool extend_description(PyObject *self, const char *text) {
    Ref current(PyObject_GetAttrString(self, "description"));
    if (!current)
        return false;
    Ref tail(PyUnicode_FromString(text));
    if (!tail)
        return false;
    Ref joined(PyNumber_Add(current.get(), tail.get()));
    return joined && PyObject_SetAttrString(self, "description", joined.get()) == 0;
}

// super(cls, self).__init__(**kwds)
bool init_parent(ResultClass cls, PyObject *self, PyObject *kwds) {
    Ref parent(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), class_of(cls), self, nullptr));
    if (!parent)
        return false;
    Ref init(PyObject_GetAttrString(parent.get(), "__init__"));
    if (!init)
        return false;
    Ref no_args(PyTuple_New(0));
    if (!no_args)
        return false;
    Ref result(PyObject_Call(init.get(), no_args.get(), kwds));
    return static_cast<bool>(result);
}

PyObject *base_init(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *base_str(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *base_repr(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *derived_init(ResultClass cls, PyObject *args, PyObject *kwargs);
PyObject *region_init(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *region_repr(PyObject *, PyObject *args, PyObject *kwargs);

template <ResultClass C> PyObject *init_of(PyObject *, PyObject *args, PyObject *kwargs) {
    return derived_init(C, args, kwargs);
}

PyCFunction as_method(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

template <ResultClass C> PyMethodDef init_def[] = {{"__init__", as_method(init_of<C>), kFlags, nullptr}, {}};

// Method tables, in definition order; each ends with an empty entry.
PyMethodDef g_base_methods[] = {{"__init__", as_method(base_init), kFlags, nullptr},
                                {"__str__", as_method(base_str), kFlags, nullptr},
                                {"__repr__", as_method(base_repr), kFlags, nullptr},
                                {}};
PyMethodDef g_region_methods[] = {{"__init__", as_method(region_init), kFlags, nullptr},
                                  {"__repr__", as_method(region_repr), kFlags, nullptr},
                                  {}};

struct ClassDef {
    const char *name;
    bool derived; // base BaseDataReturn, otherwise object
    const char *doc;
    PyMethodDef *methods;
    ArgSpec init;     // the constructor's parameters; derived classes pass other keywords on
    const char *text; // what a derived class adds to the description
};

using RC = ResultClass;

// In the order of ResultClass, which is the order the classes are bound in.
const ClassDef kClasses[kClassCount] = {
    {"BaseDataReturn", false, texts::kBaseDoc, g_base_methods,
     {"__init__", {"self", "dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"}, 8}, texts::kBaseText},
    {"SingleDataReturn", true, texts::kSingleDoc, init_def<RC::Single>, {"__init__", {"self", "y"}, 2, true},
     texts::kSingleText},
    {"ImageDataReturn", true, texts::kImageDoc, init_def<RC::Image>,
     {"__init__", {"self", "mapX", "mapY", "spectra"}, 4, true}, texts::kImageText},
    {"ImageTRCDataReturn", true, texts::kImageTRCDoc, init_def<RC::ImageTRC>,
     {"__init__", {"self", "mapX", "mapY", "labels", "traces"}, 5, true}, texts::kImageTRCText},
    {"TimeResolvedDataReturn", true, texts::kTimeResolvedDoc, init_def<RC::TimeResolved>,
     {"__init__", {"self", "z", "spectra"}, 3, true}, texts::kTimeResolvedText},
    {"TimeResolvedTRCDataReturn", true, texts::kTimeResolvedTRCDoc, init_def<RC::TimeResolvedTRC>,
     {"__init__", {"self", "labels", "traces"}, 3, true}, texts::kTimeResolvedTRCText},
    {"MultiRegionDataReturn", true, texts::kMultiRegionDoc, init_def<RC::MultiRegion>,
     {"__init__", {"self", "regions"}, 2, true}, texts::kMultiRegionText},
    {"Region", false, texts::kRegionDoc, g_region_methods,
     {"__init__", {"self", "title", "mapX", "mapY", "start_time", "spectra"}, 6}, nullptr},
    {"MultiRegionTRCDataReturn", true, texts::kMultiRegionTRCDoc, init_def<RC::MultiRegionTRC>,
     {"__init__", {"self", "labels", "regions"}, 3, true}, texts::kMultiRegionTRCText},
};

const ClassDef &def_of(ResultClass c) { return kClasses[static_cast<size_t>(c)]; }

PyObject *base_init(PyObject *, PyObject *args, PyObject *kwargs) {
    const ArgSpec &spec = def_of(RC::Base).init;
    ParsedArgs parsed;
    if (!parse_args(spec, args, kwargs, parsed) || !store_arguments(spec, parsed))
        return nullptr;
    Ref text(PyUnicode_FromString(texts::kBaseText));
    if (!text || PyObject_SetAttrString(parsed.values[0], "description", text.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// The constructor of every subclass of BaseDataReturn: store the own arguments, let the
// parent initialise the rest from the collected keywords, then extend the description.
// `kwds` collected by parse_args is a dict of its own, so the parent gets a copy.
PyObject *derived_init(ResultClass cls, PyObject *args, PyObject *kwargs) {
    const ClassDef &def = def_of(cls);
    ParsedArgs parsed;
    if (!parse_args(def.init, args, kwargs, parsed) || !store_arguments(def.init, parsed) ||
        !init_parent(cls, parsed.values[0], parsed.extra) || !extend_description(parsed.values[0], def.text))
        return nullptr;
    Py_RETURN_NONE;
}

// __str__ and __repr__ of BaseDataReturn and of Region: the named attribute as it is now.
PyObject *attribute_text(const ArgSpec &spec, const char *attr, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args(spec, args, kwargs, parsed))
        return nullptr;
    return PyObject_GetAttrString(parsed.values[0], attr);
}

PyObject *base_str(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__str__", {"self"}, 1};
    return attribute_text(spec, "description", args, kwargs);
}

PyObject *base_repr(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__repr__", {"self"}, 1};
    return attribute_text(spec, "description", args, kwargs);
}

PyObject *region_init(PyObject *, PyObject *args, PyObject *kwargs) {
    const ArgSpec &spec = def_of(RC::Region).init;
    ParsedArgs parsed;
    if (!parse_args(spec, args, kwargs, parsed) || !store_arguments(spec, parsed))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *region_repr(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__repr__", {"self"}, 1};
    return attribute_text(spec, "title", args, kwargs);
}

bool set_item(PyObject *dict, const char *key, const char *text) {
    Ref value(PyUnicode_FromString(text));
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject *make_class(const ClassDef &def, PyObject *module_name) {
    Ref body(PyDict_New());
    if (!body || PyDict_SetItemString(body.get(), "__module__", module_name) < 0 ||
        !set_item(body.get(), "__qualname__", def.name) || !set_item(body.get(), "__doc__", def.doc))
        return nullptr;
    for (PyMethodDef *m = def.methods; m->ml_name; ++m) {
        Ref function(PyCFunction_NewEx(m, nullptr, module_name));
        if (!function)
            return nullptr;
        Ref method(PyInstanceMethod_New(function.get()));
        if (!method || PyDict_SetItemString(body.get(), m->ml_name, method.get()) < 0)
            return nullptr;
    }
    PyObject *base = def.derived ? class_of(ResultClass::Base) : reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    Ref bases(PyTuple_Pack(1, base));
    if (!bases)
        return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "sOO", def.name, bases.get(), body.get());
}

// What getOrvelData needs to build a result without calling its class: while a class's
// __new__ and __init__ (and its parent's) are the library's own, the call would only set
// the attributes below in this order.
struct Shortcut {
    PyObject *init = nullptr;        // the class's own __init__, as the class gives it
    std::vector<PyObject *> keys;    // the constructor's parameter names, after self
    std::vector<PyObject *> attrs;   // the attributes they are kept in
    PyObject *description = nullptr; // the finished description (derived classes)
};

Shortcut g_shortcuts[kClassCount];
PyObject *g_init_name = nullptr, *g_description_name = nullptr;

// The class's own __init__ is taken anew for every set of classes; the names and the
// description once.
bool make_shortcut(size_t i) {
    Shortcut &sc = g_shortcuts[i];
    Py_XSETREF(sc.init, PyObject_GetAttrString(g_classes[i], "__init__"));
    if (!sc.init)
        return false;
    if (!sc.keys.empty())
        return true;
    if (!g_init_name && !(g_init_name = PyUnicode_InternFromString("__init__")))
        return false;
    if (!g_description_name && !(g_description_name = PyUnicode_InternFromString("description")))
        return false;
    const ClassDef &def = kClasses[i];
    if (def.derived && !(sc.description = PyUnicode_FromFormat("%s%s", texts::kBaseText, def.text)))
        return false;
    for (auto it = def.init.names.begin() + 1; it != def.init.names.end(); ++it) {
        PyObject *key = PyUnicode_InternFromString(*it);
        PyObject *attr = key ? PyUnicode_InternFromString(attribute_name(*it)) : nullptr;
        if (!attr) {
            Py_XDECREF(key);
            return false;
        }
        sc.keys.push_back(key);
        sc.attrs.push_back(attr);
    }
    return true;
}

// Whether calling class c would do no more than set the shortcut's attributes.
bool own_constructor(ResultClass c) {
    const size_t i = static_cast<size_t>(c);
    auto *type = reinterpret_cast<PyTypeObject *>(g_classes[i]);
    if (type->tp_new != PyBaseObject_Type.tp_new)
        return false;
    Ref init(PyObject_GetAttr(g_classes[i], g_init_name));
    if (!init)
        PyErr_Clear();
    return init.get() == g_shortcuts[i].init;
}

// Hands store(name, value) the values of class c's own parameters, then BaseDataReturn's,
// each with its name from `names` (Shortcut::keys or Shortcut::attrs). False at the first
// store that fails.
template <class Store>
bool each_named(ResultClass c, std::vector<PyObject *> Shortcut::*names, std::span<PyObject *const> own,
                std::span<PyObject *const> base, Store store) {
    for (auto [sc, values] : {std::pair{&g_shortcuts[static_cast<size_t>(c)], own}, std::pair{&g_shortcuts[0], base}})
        for (size_t k = 0; k < values.size(); ++k)
            if (!store((sc->*names)[k], values[k]))
                return false;
    return true;
}

// Calls class c with every value as a keyword argument.
PyObject *call_class(ResultClass c, std::span<PyObject *const> own, std::span<PyObject *const> base) {
    Ref kwargs(PyDict_New());
    if (!kwargs || !each_named(c, &Shortcut::keys, own, base, [&](PyObject *key, PyObject *value) {
            return PyDict_SetItem(kwargs.get(), key, value) == 0;
        }))
        return nullptr;
    Ref no_args(PyTuple_New(0));
    return no_args ? PyObject_Call(class_of(c), no_args.get(), kwargs.get()) : nullptr;
}

} // namespace

PyObject *new_result(ResultClass c, std::span<PyObject *const> own, std::span<PyObject *const> base) {
    const bool derived = def_of(c).derived;
    if (!own_constructor(c) || (derived && !own_constructor(ResultClass::Base)))
        return call_class(c, own, base);
    auto *type = reinterpret_cast<PyTypeObject *>(class_of(c));
    Ref no_args(PyTuple_New(0));
    if (!no_args)
        return nullptr;
    Ref self(type->tp_new(type, no_args.get(), nullptr));
    if (!self)
        return nullptr;
    const auto set = [&](PyObject *attr, PyObject *value) { return PyObject_SetAttr(self.get(), attr, value) == 0; };
    if (!each_named(c, &Shortcut::attrs, own, base, set) ||
        (derived && !set(g_description_name, g_shortcuts[static_cast<size_t>(c)].description)))
        return nullptr;
    return self.release();
}

bool add_result_classes(PyObject *ns) {
    Ref module_name(PyUnicode_FromString("orvelio"));
    if (!module_name)
        return false;
    for (size_t i = 0; i < kClassCount; ++i) {
        // A reload of the package binds the classes it had: results made before it still
        // pickle, and the shortcuts stay as they were made.
        if (g_classes[i]) {
            if (PyDict_SetItemString(ns, kClasses[i].name, g_classes[i]) < 0)
                return false;
            continue;
        }
        PyObject *cls = make_class(kClasses[i], module_name.get());
        if (!cls)
            return false;
        Py_XSETREF(g_classes[i], cls);
        if (PyDict_SetItemString(ns, kClasses[i].name, cls) < 0 || !make_shortcut(i))
            return false;
    }
    return true;
}

} // namespace orvelio::py
