// The native function type: a C++ body behind a Python-level signature.
//
// The object mirrors PyFunctionObject closely enough that `inspect`, `functools.wraps`,
// `staticmethod`, `classmethod` and `dataclasses` treat it as a function: it has __name__,
// __qualname__, __module__, __doc__, __defaults__, __kwdefaults__, __annotations__, __dict__,
// __signature__, binds as a method through PyMethod_New, and parses its arguments with the
// interpreter's own rules and error texts.
#pragma once

#include "qyb/python.h"

#include <cstddef>
#include <cstdint>
#include <utility>
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
class Call;
class Shortcut;

using Body = py::object (*)(const Call&);

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

    // The shortcuts below.
    Shortcut shortcut(py::handle name, Body body) const;
    template <fixed_string S>
    Shortcut shortcut(Body body) const;
    py::handle held(std::size_t i) const;

private:
    FunctionObject* function_;
    PyObject* const* slots_;
    std::size_t size_;
};

struct FunctionDef {
    const char* name;
    std::vector<Param> params;
    Annotation returns;  // empty: none
    const char* doc = nullptr;
    Body body = nullptr;
    std::vector<py::object> held = {};  // for the body's shortcuts: Call::held(i)
};

// ---------------------------------------------------------------------------------------
// Shortcuts: a C++ core run in place of a call while the name it stands for still refers to
// the original. A rebound name is obeyed, as a `def` calling it would obey it. One rule, two
// kinds of original:
//
//   a function of this module   call.shortcut<"_string">(string_body) holds while the module's
//                               `_string` is the native function with that body made for this
//                               very namespace (not one of another load of the module); the
//                               core then runs as the original, with its Call (no arguments).
//   an object of another module held by the function: FunctionDef::held fixes it when the
//                               function is made (json.loads, math.isfinite, or an object made
//                               from them), the body compares call.held(i) with what the name
//                               gives now.
//
// The handles live in the function objects that use them (the original is known by its body
// and namespace, which it carries): no module state, no process globals, and they go with the
// function. Thread safety: the check reads the current binding and compares it under the GIL,
// with no Python code in between, and held objects never change after the function is made. A
// rebinding by another thread right after the check is seen by the next call, as a `def` that
// has already loaded a name runs the object it loaded.
class Shortcut {
public:
    Shortcut(py::object bound, FunctionObject* original) : bound_(std::move(bound)), original_(original) {}

    // What the name refers to now: the one to call when the shortcut does not hold.
    const py::object& bound() const { return bound_; }
    explicit operator bool() const { return original_ != nullptr; }
    // The original, to run its core with; only while the shortcut holds.
    Call original() const { return Call(original_, nullptr, 0); }

private:
    py::object bound_;  // keeps the original alive while its core runs
    FunctionObject* original_;
};

template <fixed_string S>
Shortcut Call::shortcut(Body body) const {
    return shortcut(qyb::name<S>(), body);
}

// Makes a function owned by `module` (its __module__ and namespace). `owner` is the qualified
// name of the enclosing class, or null for a module-level function.
py::object make_function(const FunctionDef& def, py::handle module, const char* owner = nullptr);

bool is_function(py::handle obj);

// Records `cls` as the class that defined `function`, once the class exists (ClassBuilder).
void set_defining_class(py::handle function, py::handle cls);

// The type object, for registration and tests.
PyTypeObject* function_type();

}  // namespace qyb
