// The native function type: a C++ body behind a Python-level signature.
//
// The object mirrors PyFunctionObject closely enough that `inspect`, `functools.wraps`,
// `staticmethod`, `classmethod` and `dataclasses` treat it as a function: it has __name__,
// __qualname__, __module__, __doc__, __defaults__, __kwdefaults__, __annotations__, __dict__,
// __signature__, binds as a method through PyMethod_New, and parses its arguments with the
// interpreter's own rules and error texts.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "qyb/names.h"

namespace qyb {

namespace py = pybind11;

enum class Kind : std::uint8_t {
    positional_or_keyword,
    var_positional,  // the * collector; at most one, before the keyword-only parameters
    keyword_only,
    var_keyword,  // the ** collector; at most one, and last
};

// A declared type: text, as `from __future__ import annotations` keeps it, or the evaluated
// object itself (`str`, `None`, `list[str]`, a class). Text converts implicitly, so `"int"`
// reads as before; an object is wrapped on purpose, `Annotation(obj)`, because a bare object in
// a declaration is its default. Empty when neither is given.
class Annotation {
public:
    Annotation() = default;
    Annotation(std::nullptr_t) {}
    Annotation(const char* text) : text_(text) {}
    explicit Annotation(py::handle object) : object_(py::reinterpret_borrow<py::object>(object)) {}

    bool empty() const { return text_ == nullptr && !object_; }
    // What __annotations__ holds: the object, or a fresh str of the text.
    py::object value() const { return object_ ? object_ : py::str(text_); }

private:
    const char* text_ = nullptr;
    py::object object_;
};

struct Param {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    Annotation annotation;      // empty: none
    py::object default_value;  // null: required
};

// Parameter declarations, in the order they appear in a Python `def`.
Param arg(const char* name, Annotation annotation = {});
Param arg(const char* name, Annotation annotation, py::object default_value);
Param arg(const char* name, py::object default_value);
Param kwonly(const char* name, Annotation annotation = {});
Param kwonly(const char* name, Annotation annotation, py::object default_value);
Param kwonly(const char* name, py::object default_value);
Param varargs(const char* name, Annotation annotation = {});
Param kwargs(const char* name, Annotation annotation = {});

struct FunctionObject;

// What a body sees: the bound arguments, one slot per parameter in declaration order
// (the * collector holds a tuple, the ** collector a fresh dict), and the function's module
// namespace.
class Call {
public:
    Call(FunctionObject* function, PyObject* const* slots, std::size_t size)
        : function_(function), slots_(slots), size_(size) {}

    py::handle operator[](std::size_t i) const { return slots_[i]; }
    std::size_t size() const { return size_; }
    py::handle function() const;

    // The module attribute `name`, looked up now; NameError when it is unbound.
    py::object global(py::handle name) const;
    template <fixed_string S>
    py::object global() const {
        return global(qyb::name<S>());
    }
    py::dict globals() const;

    // `super()` in a method: super(<the class whose body defined it>, self), as the __class__
    // cell of a Python method gives it. RuntimeError for a function made outside a class.
    py::object super(py::handle self) const;

private:
    FunctionObject* function_;
    PyObject* const* slots_;
    std::size_t size_;
};

using Body = py::object (*)(const Call&);

struct FunctionDef {
    const char* name;
    std::vector<Param> params;
    Annotation returns;  // empty: none
    const char* doc = nullptr;
    Body body = nullptr;
};

// Makes a function owned by `module` (its __module__ and namespace). `owner` is the qualified
// name of the enclosing class, or null for a module-level function.
py::object make_function(const FunctionDef& def, py::handle module, const char* owner = nullptr);

bool is_function(py::handle obj);

// Records `cls` as the class that defined `function`, once the class exists (ClassBuilder).
void set_defining_class(py::handle function, py::handle cls);

// The type object, for registration and tests.
PyTypeObject* function_type();

}  // namespace qyb
