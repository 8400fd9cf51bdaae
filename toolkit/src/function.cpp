// The native function type: object layout, argument binder, descriptor and attributes.
#include "qyb/python.h"

#include "qyb/function.h"

#include <structmember.h>

#include <memory>
#include <utility>

#include "qyb/errors.h"
#include "qyb/objects.h"

namespace qyb {

// The immutable parameter table shared by the function and its binder. Names and slots are
// in declaration order: positional, then *, then keyword-only, then **.
struct ParamTable {
    std::vector<PyObject*> names;  // interned, owned
    Py_ssize_t positional = 0;
    Py_ssize_t keyword_only = 0;
    bool var_positional = false;
    bool var_keyword = false;

    Py_ssize_t kwonly_begin() const { return positional + (var_positional ? 1 : 0); }
    Py_ssize_t kwonly_end() const { return kwonly_begin() + keyword_only; }
    Py_ssize_t slots() const { return kwonly_end() + (var_keyword ? 1 : 0); }

    ~ParamTable() {
        for (PyObject* n : names) {
            Py_XDECREF(n);
        }
    }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* globals;      // the module's namespace
    PyObject* builtins;     // the builtins when the function was made, as for a def
    PyObject* owner_class;  // the class whose body defined it, or NULL: the __class__ cell
    PyObject* held;         // tuple of FunctionDef::held, or NULL
    // What the shortcuts to it compare the live defaults with: the __defaults__ tuple it was made
    // with, and its keyword-only defaults as made, (name, value, name, value, ...); NULL for none.
    PyObject* made_defaults;
    PyObject* made_kwdefaults;
    const ParamTable* params;
    Body body;
};

namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// ---------------------------------------------------------------------------------------
// Lifetime

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->owner_class);
    Py_VISIT(f->held);
    Py_VISIT(f->made_defaults);
    Py_VISIT(f->made_kwdefaults);
    return 0;
}

// Like func_clear: a finalizer may still reach the function after this, so its names stay text.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    // Both are still NULL when make_function fails before setting them.
    Py_XSETREF(f->name, Py_NewRef(name<"">().ptr()));
    Py_XSETREF(f->qualname, Py_NewRef(name<"">().ptr()));
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->owner_class);
    Py_CLEAR(f->held);
    Py_CLEAR(f->made_defaults);
    Py_CLEAR(f->made_kwdefaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->params;
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// ---------------------------------------------------------------------------------------
// Descriptor: a method is PyMethod_New(function, instance), as for Python functions.

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

// ---------------------------------------------------------------------------------------
// Argument binder. The order of checks and every message follow the interpreter's own
// binder for Python functions, so a native function fails exactly as its `def` would.

void too_many_positional(FunctionObject* f, Py_ssize_t given, PyObject** slots) {
    const ParamTable& t = *f->params;
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = t.kwonly_begin(); i < t.kwonly_end(); ++i) {
        if (slots[i] != nullptr) {
            ++kwonly_given;
        }
    }
    Py_ssize_t defcount = f->defaults == nullptr ? 0 : PyTuple_GET_SIZE(f->defaults);
    const bool plural = defcount != 0 || t.positional != 1;
    PyObject* sig = defcount != 0
                        ? PyUnicode_FromFormat("from %zd to %zd", t.positional - defcount, t.positional)
                        : PyUnicode_FromFormat("%zd", t.positional);
    if (sig == nullptr) {
        return;
    }
    PyObject* kwonly_sig =
        kwonly_given != 0
            ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                   given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
            : Py_NewRef(name<"">().ptr());
    if (kwonly_sig != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname, sig,
                     plural ? "s" : "", given, kwonly_sig, given == 1 && !kwonly_given ? "was" : "were");
        Py_DECREF(kwonly_sig);
    }
    Py_DECREF(sig);
}

// The names as the interpreter lists them: 'a', 'a' and 'b', 'a', 'b', and 'c'. A new
// reference, or null with the error set.
PyObject* name_list(PyObject* names) {
    const Py_ssize_t len = PyList_GET_SIZE(names);
    if (len == 1) {
        return Py_NewRef(PyList_GET_ITEM(names, 0));
    }
    if (len == 2) {
        return PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0), PyList_GET_ITEM(names, 1));
    }
    PyObject* tail = PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names, len - 2),
                                          PyList_GET_ITEM(names, len - 1));
    if (tail == nullptr) {
        return nullptr;
    }
    PyObject* text = nullptr;
    if (PyList_SetSlice(names, len - 2, len, nullptr) == 0) {
        PyObject* head = PyUnicode_Join(name<", ">().ptr(), names);
        if (head != nullptr) {
            text = PyUnicode_Concat(head, tail);
            Py_DECREF(head);
        }
    }
    Py_DECREF(tail);
    return text;
}

// `start`..`end` is the range of slots searched for the missing names.
void missing_arguments(FunctionObject* f, const char* kind, Py_ssize_t start, Py_ssize_t end,
                       PyObject** slots) {
    PyObject* names = PyList_New(0);
    if (names == nullptr) {
        return;
    }
    for (Py_ssize_t i = start; i < end; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        PyObject* r = PyObject_Repr(f->params->names[i]);
        if (r == nullptr || PyList_Append(names, r) < 0) {
            Py_XDECREF(r);
            Py_DECREF(names);
            return;
        }
        Py_DECREF(r);
    }
    const Py_ssize_t len = PyList_GET_SIZE(names);
    PyObject* text = name_list(names);
    if (text != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname,
                     static_cast<int>(len), kind, len == 1 ? "" : "s", text);
        Py_DECREF(text);
    }
    Py_DECREF(names);
}

// Slot of the parameter that keyword `key` names, or -1; -2 with an error set. The * and **
// collectors cannot be named.
Py_ssize_t find_param(const ParamTable& t, PyObject* key) {
    const Py_ssize_t skip = t.var_positional ? t.positional : -1;
    const Py_ssize_t n = t.kwonly_end();
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (t.names[j] == key && j != skip) {
            return j;
        }
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (j == skip) {
            continue;
        }
        int eq = PyObject_RichCompareBool(key, t.names[j], Py_EQ);
        if (eq > 0) {
            return j;
        }
        if (eq < 0) {
            return -2;
        }
    }
    return -1;
}

constexpr Py_ssize_t kInlineSlots = 12;

// Holds the references that a call owns beyond its borrowed arguments: the ** dict and the
// defaults taken for missing parameters (a body may rebind __defaults__ while it runs).
struct Bound {
    PyObject* inline_slots[kInlineSlots];
    PyObject* inline_owned[kInlineSlots];
    std::unique_ptr<PyObject*[]> heap;
    PyObject** slots;
    PyObject** owned;
    Py_ssize_t owned_count = 0;
    PyObject* defaults = nullptr;  // the tuple the positional defaults were taken from
    PyObject* varargs = nullptr;
    PyObject* kwdict = nullptr;

    explicit Bound(Py_ssize_t n) {
        if (n <= kInlineSlots) {
            slots = inline_slots;
            owned = inline_owned;
        } else {
            heap.reset(new PyObject*[2 * static_cast<std::size_t>(n)]);
            slots = heap.get();
            owned = slots + n;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            slots[i] = nullptr;
        }
    }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    ~Bound() {
        Py_XDECREF(defaults);
        Py_XDECREF(varargs);
        Py_XDECREF(kwdict);
        for (Py_ssize_t i = 0; i < owned_count; ++i) {
            Py_DECREF(owned[i]);
        }
    }
    // Each keyword-only default fills one distinct slot, so `owned` never outgrows the slots.
    PyObject* keep(PyObject* value) {
        owned[owned_count++] = Py_NewRef(value);
        return value;
    }
};

// Fills `b.slots`; returns false with the error set.
bool bind_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Bound& b) {
    const ParamTable& t = *f->params;
    PyObject** slots = b.slots;
    if (t.var_keyword) {
        b.kwdict = PyDict_New();
        if (b.kwdict == nullptr) {
            return false;
        }
    }
    const Py_ssize_t n = nargs < t.positional ? nargs : t.positional;
    for (Py_ssize_t j = 0; j < n; ++j) {
        slots[j] = args[j];
    }
    if (kwnames != nullptr) {
        const Py_ssize_t kwcount = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < kwcount; ++i) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, i);
            PyObject* value = args[nargs + i];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return false;
            }
            Py_ssize_t j = find_param(t, key);
            if (j == -2) {
                return false;
            }
            if (j == -1) {
                if (b.kwdict == nullptr) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                                 f->qualname, key);
                    return false;
                }
                if (PyDict_SetItem(b.kwdict, key, value) < 0) {
                    return false;
                }
                continue;
            }
            if (slots[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, key);
                return false;
            }
            slots[j] = value;
        }
    }
    if (t.var_positional) {
        const Py_ssize_t extra = nargs > t.positional ? nargs - t.positional : 0;
        b.varargs = PyTuple_New(extra);
        if (b.varargs == nullptr) {
            return false;
        }
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyTuple_SET_ITEM(b.varargs, i, Py_NewRef(args[t.positional + i]));
        }
        slots[t.positional] = b.varargs;
    } else if (nargs > t.positional) {
        too_many_positional(f, nargs, slots);
        return false;
    }
    if (nargs < t.positional) {
        const Py_ssize_t defcount = f->defaults == nullptr ? 0 : PyTuple_GET_SIZE(f->defaults);
        const Py_ssize_t m = t.positional - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (slots[i] == nullptr) {
                missing_arguments(f, "positional", 0, m, slots);
                return false;
            }
        }
        if (defcount) {
            b.defaults = Py_NewRef(f->defaults);
            for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; ++i) {
                if (slots[m + i] == nullptr) {
                    slots[m + i] = PyTuple_GET_ITEM(b.defaults, i);
                }
            }
        }
    }
    if (t.keyword_only > 0) {
        bool missing = false;
        for (Py_ssize_t i = t.kwonly_begin(); i < t.kwonly_end(); ++i) {
            if (slots[i] != nullptr) {
                continue;
            }
            if (f->kwdefaults != nullptr) {
                PyObject* def = PyDict_GetItemWithError(f->kwdefaults, t.names[i]);
                if (def != nullptr) {
                    slots[i] = b.keep(def);
                    continue;
                }
                if (PyErr_Occurred()) {
                    return false;
                }
            }
            missing = true;
        }
        if (missing) {
            missing_arguments(f, "keyword-only", t.kwonly_begin(), t.kwonly_end(), slots);
            return false;
        }
    }
    if (t.var_keyword) {
        slots[t.kwonly_end()] = b.kwdict;
    }
    return true;
}

// Binds the arguments and runs the body; throws on error.
py::object run_body(FunctionObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound b(f->params->slots());
    if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, b)) {
        throw_error();
    }
    py::object result = f->body(Call(f, b.slots, static_cast<std::size_t>(f->params->slots())));
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%U() returned NULL without setting an exception", f->qualname);
        }
        throw_error();
    }
    return result;
}

PyObject* bind_and_run(FunctionObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    // The slot array of a long parameter list is allocated, which may throw.
    try {
        return run_body(f, args, nargsf, kwnames).release().ptr();
    } catch (std::exception&) {
        restore_current_exception();
        return nullptr;
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
    // Bodies recurse on the C stack, so each call counts against the recursion limit; and the
    // function is held for the call, as a frame holds a def: a caller may lend it, and the body
    // may drop the last other reference.
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
        return nullptr;
    }
    Py_INCREF(self);
    PyObject* result = bind_and_run(as_function(self), args, nargsf, kwnames);
    Py_DECREF(self);
    Py_LeaveRecursiveCall();
    return result;
}

// ---------------------------------------------------------------------------------------
// Attributes

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* function_get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int function_set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__");
}

PyObject* function_get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}
int function_set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* function_get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d != nullptr ? d : Py_None);
}
PyObject* function_get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d != nullptr ? d : Py_None);
}
PyObject* function_get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}
// __defaults__, __kwdefaults__ and __annotations__ take None (or deletion) to clear, else an
// object of their one type.
struct OptionalAttribute {
    PyObject* FunctionObject::*slot;
    PyTypeObject* type;
    const char* name;
};
OptionalAttribute defaults_attribute{&FunctionObject::defaults, &PyTuple_Type, "__defaults__"};
OptionalAttribute kwdefaults_attribute{&FunctionObject::kwdefaults, &PyDict_Type, "__kwdefaults__"};
OptionalAttribute annotations_attribute{&FunctionObject::annotations, &PyDict_Type, "__annotations__"};

int function_set_optional(PyObject* self, PyObject* value, void* closure) {
    const OptionalAttribute& a = *static_cast<const OptionalAttribute*>(closure);
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyObject_TypeCheck(value, a.type)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", a.name, a.type->tp_name);
        return -1;
    }
    Py_XSETREF(as_function(self)->*a.slot, Py_XNewRef(value));
    return 0;
}

// Built from the current __defaults__, __kwdefaults__ and __annotations__ on every access,
// as inspect does for Python functions, so rebinding or mutating any of them shows at once.
PyObject* function_get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    const ParamTable& t = *f->params;
    if (f->dict != nullptr) {
        // One set on the function wins; a function made a wrapper by functools.update_wrapper
        // has none of its own, so inspect follows __wrapped__ as it does for a def.
        PyObject* own = PyDict_GetItemWithError(f->dict, name<"__signature__">().ptr());
        if (own != nullptr) {
            return Py_NewRef(own);
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
        int wrapper = PyDict_Contains(f->dict, name<"__wrapped__">().ptr());
        if (wrapper != 0) {
            if (wrapper > 0) {
                PyErr_SetString(PyExc_AttributeError, "__signature__");
            }
            return nullptr;
        }
    }
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object empty = parameter.attr("empty");
        py::dict annotations;
        if (f->annotations != nullptr) {
            annotations = py::reinterpret_borrow<py::dict>(f->annotations);
        }
        auto annotation_of = [&](PyObject* key) -> py::object {
            PyObject* a = PyDict_GetItemWithError(annotations.ptr(), key);
            if (a == nullptr) {
                if (PyErr_Occurred()) {
                    throw_error();
                }
                return empty;
            }
            return py::reinterpret_borrow<py::object>(a);
        };
        const Py_ssize_t defcount = f->defaults == nullptr ? 0 : PyTuple_GET_SIZE(f->defaults);
        py::list params;
        for (Py_ssize_t i = 0; i < t.slots(); ++i) {
            py::handle pname = t.names[i];
            py::object kind;
            py::object def = empty;
            if (i < t.positional) {
                kind = parameter.attr("POSITIONAL_OR_KEYWORD");
                Py_ssize_t d = i - (t.positional - defcount);
                if (d >= 0) {
                    def = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, d));
                }
            } else if (t.var_positional && i == t.positional) {
                kind = parameter.attr("VAR_POSITIONAL");
            } else if (i < t.kwonly_end()) {
                kind = parameter.attr("KEYWORD_ONLY");
                if (f->kwdefaults != nullptr) {
                    PyObject* v = PyDict_GetItemWithError(f->kwdefaults, pname.ptr());
                    if (v != nullptr) {
                        def = py::reinterpret_borrow<py::object>(v);
                    } else if (PyErr_Occurred()) {
                        throw_error();
                    }
                }
            } else {
                kind = parameter.attr("VAR_KEYWORD");
            }
            params.append(parameter(pname, kind, py::arg("default") = def,
                                    py::arg("annotation") = annotation_of(pname.ptr())));
        }
        py::object sig = inspect.attr("Signature")(
            params, py::arg("return_annotation") = annotation_of(name<"return">().ptr()));
        return sig.release().ptr();
    } catch (std::exception&) {
        restore_current_exception();
        return nullptr;
    }
}

// Like a Python function: pickled by reference to its module and qualified name, which also
// makes copy and deepcopy hand back the function itself.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int function_set_signature(PyObject* self, PyObject* value, void*) {
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (dict == nullptr) {
        return -1;
    }
    int status = value != nullptr ? PyDict_SetItem(dict, name<"__signature__">().ptr(), value)
                                  : PyDict_DelItem(dict, name<"__signature__">().ptr());
    Py_DECREF(dict);
    return status;
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_optional, nullptr, &defaults_attribute},
    {"__kwdefaults__", function_get_kwdefaults, function_set_optional, nullptr, &kwdefaults_attribute},
    {"__annotations__", function_get_annotations, function_set_optional, nullptr, &annotations_attribute},
    {"__signature__", function_get_signature, function_set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}

PyTypeObject function_type_object = make_type();

}  // namespace

PyTypeObject* function_type() {
    if (!(function_type_object.tp_flags & Py_TPFLAGS_READY)) {
        // The slots use these names outside any C++ boundary (function_clear even during
        // deallocation), where a first interning that fails could only end the process.
        name<"">();
        name<", ">();
        name<"return">();
        name<"__signature__">();
        name<"__wrapped__">();
        check(PyType_Ready(&function_type_object));
    }
    return &function_type_object;
}

bool is_function(py::handle obj) { return Py_IS_TYPE(obj.ptr(), &function_type_object); }

// ---------------------------------------------------------------------------------------
// Declarations

Param arg(const char* name, Annotation annotation) {
    return Param{name, Kind::positional_or_keyword, std::move(annotation), py::object()};
}
Param arg(const char* name, Annotation annotation, py::object default_value) {
    return Param{name, Kind::positional_or_keyword, std::move(annotation), std::move(default_value)};
}
Param arg(const char* name, py::object default_value) {
    return Param{name, Kind::positional_or_keyword, {}, std::move(default_value)};
}
Param kwonly(const char* name, Annotation annotation) {
    return Param{name, Kind::keyword_only, std::move(annotation), py::object()};
}
Param kwonly(const char* name, Annotation annotation, py::object default_value) {
    return Param{name, Kind::keyword_only, std::move(annotation), std::move(default_value)};
}
Param kwonly(const char* name, py::object default_value) {
    return Param{name, Kind::keyword_only, {}, std::move(default_value)};
}
Param varargs(const char* name, Annotation annotation) {
    return Param{name, Kind::var_positional, std::move(annotation), py::object()};
}
Param kwargs(const char* name, Annotation annotation) {
    return Param{name, Kind::var_keyword, std::move(annotation), py::object()};
}

py::handle Call::function() const { return reinterpret_cast<PyObject*>(function_); }

// A global name of a Python body: the module's namespace, then the builtins.
py::object Call::global(py::handle key) const {
    // Both namespaces are gone only from a function the collector has cleared.
    PyObject* v = function_->globals ? PyDict_GetItemWithError(function_->globals, key.ptr()) : nullptr;
    if (v == nullptr && !PyErr_Occurred() && function_->builtins != nullptr) {
        v = PyDict_GetItemWithError(function_->builtins, key.ptr());
    }
    if (v == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%S' is not defined", key.ptr());
    }
    if (v == nullptr) {
        throw_error();
    }
    return py::reinterpret_borrow<py::object>(v);
}

void Call::wrong_count(std::size_t wanted) const {
    PyErr_Format(PyExc_SystemError, "%U() body reads %zu arguments; the call holds %zu", function_->qualname,
                 wanted, size_);
    throw_error();
}

py::dict Call::globals() const { return py::reinterpret_borrow<py::dict>(function_->globals); }

py::object Call::super(py::handle self) const {
    if (function_->owner_class == nullptr) {
        raise(PyExc_RuntimeError, "super(): __class__ cell not found");
    }
    PyObject* args[] = {function_->owner_class, self.ptr()};
    PyObject* result = PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), args, 2, nullptr);
    if (result == nullptr) {
        throw_error();
    }
    return py::reinterpret_steal<py::object>(result);
}

namespace {

// Whether the defaults are still those `f` was made with: the same tuple, and the same keyword
// names and values in the same order (the dict may have been changed in place). Identity only,
// so no Python code runs; an equal but rebuilt value reads as a change.
bool defaults_as_made(const FunctionObject* f) {
    if (f->defaults != f->made_defaults) {
        return false;
    }
    PyObject* live = f->kwdefaults;
    PyObject* made = f->made_kwdefaults;
    if (made == nullptr) {
        return live == nullptr || PyDict_GET_SIZE(live) == 0;
    }
    if (live == nullptr || 2 * PyDict_GET_SIZE(live) != PyTuple_GET_SIZE(made)) {
        return false;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t i = 0;
    PyObject *key, *value;
    while (PyDict_Next(live, &pos, &key, &value)) {
        if (key != PyTuple_GET_ITEM(made, i) || value != PyTuple_GET_ITEM(made, i + 1)) {
            return false;
        }
        i += 2;
    }
    return true;
}

}  // namespace

Shortcut Call::shortcut(py::handle key, Body body) const {
    py::object bound = global(key);
    FunctionObject* original = nullptr;
    if (is_function(bound)) {
        FunctionObject* f = as_function(bound.ptr());
        if (f->body == body && f->globals != nullptr && f->globals == function_->globals) {
            original = f;
        }
    }
    const bool holds = original != nullptr && defaults_as_made(original);
    return Shortcut(std::move(bound), original, holds);
}

py::object Shortcut::call(PyObject* const* args, std::size_t nargs, PyObject* kwnames) const {
    if (original_ == nullptr) {
        PyObject* result = PyObject_Vectorcall(bound_.ptr(), args, nargs, kwnames);
        if (result == nullptr) {
            throw_error();
        }
        return py::reinterpret_steal<py::object>(result);
    }
    // The original's own call, without the round through the interpreter; it still counts
    // against the recursion limit, as its call would.
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
        throw_error();
    }
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    return run_body(original_, args, nargs, kwnames);
}

py::handle Call::held(std::size_t i) const {
    // A function the collector has cleared holds nothing; only a finalizer can still call it.
    if (function_->held == nullptr || i >= static_cast<std::size_t>(PyTuple_GET_SIZE(function_->held))) {
        raise(PyExc_SystemError, "native function holds no such object");
    }
    return PyTuple_GET_ITEM(function_->held, static_cast<Py_ssize_t>(i));
}

void set_defining_class(py::handle function, py::handle cls) {
    if (!is_function(function)) {
        raise(PyExc_SystemError, "not a native function");
    }
    Py_XSETREF(as_function(function.ptr())->owner_class, Py_NewRef(cls.ptr()));
}

py::object make_function(const FunctionDef& def, py::handle module, const char* owner) {
    if (def.body == nullptr) {
        raise(PyExc_SystemError, "native function without a body");
    }
    auto table = std::make_unique<ParamTable>();
    py::list defaults;
    py::dict kwdefaults;
    py::dict annotations;
    Kind previous = Kind::positional_or_keyword;
    for (const Param& p : def.params) {
        // Declarations are C++ constants; a malformed one is a programming error.
        if (table->var_keyword || static_cast<int>(p.kind) < static_cast<int>(previous) ||
            (p.kind == Kind::var_positional && table->var_positional)) {
            raise(PyExc_SystemError, "parameters declared out of order");
        }
        previous = p.kind;
        PyObject* n = PyUnicode_InternFromString(p.name);
        if (n == nullptr) {
            throw_error();
        }
        table->names.push_back(n);
        switch (p.kind) {
            case Kind::positional_or_keyword:
                ++table->positional;
                if (p.default_value) {
                    defaults.append(p.default_value);
                } else if (!defaults.empty()) {
                    raise(PyExc_SystemError, "non-default parameter follows default parameter");
                }
                break;
            case Kind::keyword_only:
                ++table->keyword_only;
                if (p.default_value) {
                    kwdefaults[n] = p.default_value;
                }
                break;
            case Kind::var_positional:
                table->var_positional = true;
                break;
            case Kind::var_keyword:
                table->var_keyword = true;
                break;
        }
        if (!p.annotation.empty()) {
            annotations[n] = p.annotation.value();
        }
    }
    if (!def.returns.empty()) {
        annotations[name<"return">()] = def.returns.value();
    }

    PyTypeObject* type = function_type();
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr) {
        throw_error();
    }
    f->vectorcall = function_vectorcall;
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = nullptr;
    f->doc = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->globals = nullptr;
    f->builtins = nullptr;
    f->owner_class = nullptr;
    f->held = nullptr;
    f->made_defaults = nullptr;
    f->made_kwdefaults = nullptr;
    f->params = table.release();
    f->body = def.body;
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));

    py::str fname(def.name);
    f->name = fname.release().ptr();
    f->qualname = (owner != nullptr ? py::str(std::string(owner) + "." + def.name) : py::str(def.name))
                      .release()
                      .ptr();
    f->module = py::object(module.attr("__name__")).release().ptr();
    f->doc = def.doc != nullptr ? py::str(def.doc).release().ptr() : Py_NewRef(Py_None);
    f->defaults = defaults.empty() ? nullptr : py::tuple(defaults).release().ptr();
    f->kwdefaults = kwdefaults.empty() ? nullptr : kwdefaults.release().ptr();
    f->made_defaults = Py_XNewRef(f->defaults);
    if (f->kwdefaults != nullptr) {
        py::tuple made(2 * PyDict_GET_SIZE(f->kwdefaults));
        Py_ssize_t pos = 0;
        Py_ssize_t i = 0;
        PyObject *key, *value;
        while (PyDict_Next(f->kwdefaults, &pos, &key, &value)) {
            PyTuple_SET_ITEM(made.ptr(), i++, Py_NewRef(key));
            PyTuple_SET_ITEM(made.ptr(), i++, Py_NewRef(value));
        }
        f->made_kwdefaults = made.release().ptr();
    }
    f->annotations = annotations.release().ptr();
    f->globals = py::object(module.attr("__dict__")).release().ptr();
    f->builtins = Py_NewRef(PyEval_GetBuiltins());
    if (!def.held.empty()) {
        py::tuple held(def.held.size());
        for (std::size_t i = 0; i < def.held.size(); ++i) {
            held[i] = def.held[i];
        }
        f->held = held.release().ptr();
    }
    PyObject_GC_Track(result.ptr());
    return result;
}

}  // namespace qyb
