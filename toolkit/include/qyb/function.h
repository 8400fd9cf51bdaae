// The native function type: a C++ body behind a Python-level signature.
//
// The object mirrors PyFunctionObject closely enough that `inspect`, `functools.wraps`,
// `staticmethod`, `classmethod` and `dataclasses` treat it as a function: it has __name__,
// __qualname__, __module__, __doc__, __defaults__, __kwdefaults__, __annotations__, __dict__,
// __signature__, binds as a method through PyMethod_New, and parses its arguments with the
// interpreter's own rules and error texts.
#pragma once

#include "qyb/python.h"

#include <array>
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

    // The arguments by name, where the body starts: `auto [self, key, timeout] = call.args<3>();`
    // Borrowed, in declaration order. N must be the declared number of parameters: the
    // declaration is data made at run time, so every call compares, one branch, and a body that
    // disagrees with its declaration raises SystemError rather than reading a wrong slot.
    template <std::size_t N>
    std::array<py::handle, N> args() const {
        if (size_ != N) {
            wrong_count(N);
        }
        std::array<py::handle, N> handles;
        for (std::size_t i = 0; i < N; ++i) {
            handles[i] = slots_[i];
        }
        return handles;
    }
    py::handle function() const;

    // The module attribute `name`, looked up now; NameError when it is unbound.
    py::object global(py::handle name) const;
    template <fixed_string S>
    py::object global() const {
        return global(qyb::name<S>());
    }
    py::dict globals() const;

    // `time.monotonic()` through the module's `time` as bound now, so a replaced clock is obeyed;
    // qyb::to_double(call.monotonic()) for arithmetic in C++.
    py::object monotonic() const;

    // `super()` in a method: super(<the class whose body defined it>, self), as the __class__
    // cell of a Python method gives it. RuntimeError for a function made outside a class.
    py::object super(py::handle self) const;

    // The shortcuts below.
    Shortcut shortcut(py::handle name, Body body) const;
    template <fixed_string S>
    Shortcut shortcut(Body body) const;
    py::handle held(std::size_t i) const;

private:
    [[noreturn]] void wrong_count(std::size_t wanted) const;

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
// the original, with the defaults the core was written for. A rebound name, or rebound or
// mutated defaults, are obeyed, as a `def` calling it would obey them. One rule, two kinds of
// original:
//
//   a function of this module   call.shortcut<"_string">(string_body) holds while the module's
//                               `_string` is the native function with that body made for this
//                               very namespace (not one of another load of the module), and its
//                               __defaults__ and __kwdefaults__ are still those it was made
//                               with; the core then runs as the original, with its Call (no
//                               arguments).
//   an object of another module held by the function: FunctionDef::held fixes it when the
//                               function is made (json.loads, math.isfinite, or an object made
//                               from them), the body compares call.held(i) with what the name
//                               gives now.
//
// `f(args...)` makes the call a `def` would make, whether the shortcut holds or not, omitted
// arguments left to the callee: while the name refers to the original, its own binder fills them
// from its current defaults and its body runs in place, without a round through the interpreter;
// anything else bound is called.
//
// Defaults "as made": __defaults__ is the very tuple the function was made with (tuples do not
// change; setting any other tuple, even an equal one, counts as a change), and __kwdefaults__
// holds, in order, the very names and value objects it was made with (it is a dict that can be
// changed in place, so its items are compared each time; there are few). Neither comparison
// runs Python code or hashes anything; whatever they cannot vouch for goes the way of the call.
//
// The handles live in the function objects that use them (the original is known by its body
// and namespace, which it carries): no module state, no process globals, and they go with the
// function. Thread safety: the check reads the current binding and defaults and compares them
// under the GIL, with no Python code in between, and held objects never change after the
// function is made. A rebinding by another thread right after the check is seen by the next
// call, as a `def` that has already loaded a name runs the object it loaded.
class Shortcut {
public:
    Shortcut(py::object bound, FunctionObject* original, bool holds)
        : bound_(std::move(bound)), original_(original), holds_(holds) {}

    // What the name refers to now.
    const py::object& bound() const { return bound_; }
    explicit operator bool() const { return holds_; }
    // The original, to run its core with; only while the shortcut holds.
    Call original() const { return Call(original_, nullptr, 0); }

    // `name(...)`, as a def makes the call: `nargs` positional arguments, then the values of the
    // keywords named in `kwnames` (the vectorcall layout). Throws on error.
    py::object call(PyObject* const* args, std::size_t nargs, PyObject* kwnames = nullptr) const;
    template <class... A>
    py::object operator()(const A&... args) const {
        PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
        return call(argv + 1, sizeof...(A));
    }
    // The same, the last len(kwnames) arguments passed as those keywords.
    template <class... A>
    py::object keywords(py::handle kwnames, const A&... args) const {
        PyObject* argv[] = {py::handle(args).ptr()...};
        const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr()));
        return call(argv, sizeof...(A) - given, kwnames.ptr());
    }

private:
    py::object bound_;            // keeps the original alive while its core runs
    FunctionObject* original_;    // the bound object when it is the native original, else null
    bool holds_;                  // ... and its defaults are those it was made with
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
