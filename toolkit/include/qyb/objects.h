// Checked wrappers over the C API for native bodies: each throws error_already_set on failure,
// so a body reads like the Python it stands for.
#pragma once

#include "qyb/python.h"

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "qyb/errors.h"
#include "qyb/names.h"

namespace qyb {

namespace py = pybind11;

// A new reference from the C API as an owning object; throws when it is null.
inline py::object steal(PyObject* p) {
    if (p == nullptr) {
        throw_error();
    }
    return py::reinterpret_steal<py::object>(p);
}

// A C API status (-1 with an error set, else 0 or 1) as a bool.
inline bool check(int status) {
    if (status < 0) {
        throw_error();
    }
    return status != 0;
}

// Python's numbers, not C's: `PyLong_Check(True)` holds, so these leave bool out.
// An int that is not a bool, and an int or float that is not a bool.
inline bool is_int(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }
inline bool is_real(py::handle value) { return is_int(value) || PyFloat_Check(value.ptr()); }

// `bool(value)`.
inline bool truthy(py::handle value) { return check(PyObject_IsTrue(value.ptr())); }

// `obj.attr` and `obj.attr = value` for an interned name.
inline py::object get(py::handle obj, py::handle attr) { return steal(PyObject_GetAttr(obj.ptr(), attr.ptr())); }
inline void set(py::handle obj, py::handle attr, py::handle value) {
    check(PyObject_SetAttr(obj.ptr(), attr.ptr(), value.ptr()));
}

// `getattr(obj, attr, fallback)` and `hasattr(obj, attr)`: only an AttributeError means the
// attribute is missing, any other error propagates. pybind11's getattr with a default and its
// hasattr swallow every error: not for bodies.
py::object get(py::handle obj, py::handle attr, py::handle fallback);
bool has(py::handle obj, py::handle attr);

// `mapping.get(key)`: None for a missing key. A dict is read directly; any other mapping's own
// `get` is called, so a defaultdict gains no key.
py::object get_or_none(py::handle mapping, py::handle key);

// `d[key] = value` for an exact dict.
inline void dict_set(py::handle d, py::handle key, py::handle value) {
    check(PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()));
}

// `item in container`.
inline bool contains(py::handle container, py::handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr()));
}

// `mapping[key]` and `mapping[key] = value`.
inline py::object item(py::handle mapping, py::handle key) { return steal(PyObject_GetItem(mapping.ptr(), key.ptr())); }
inline void set_item(py::handle mapping, py::handle key, py::handle value) {
    check(PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
}

// The truth of `a <op> b` (Py_EQ, Py_LT, ...), and `a == b`.
inline bool compare(py::handle a, py::handle b, int op) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)); }
inline bool equals(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
// `value == "text"`.
inline bool equals(py::handle value, const char* text) { return equals(value, py::str(text)); }

// Calls. Positional arguments are anything a py::handle is made from; keyword arguments follow
// them, one by name, `kw<"timeout">(value)`, or a whole dict, `keywords(d)` (`**d`, last):
//
//     qyb::invoke(f, a, b)                                  f(a, b)
//     qyb::invoke(f, a, qyb::kw<"timeout">(t))              f(a, timeout=t)
//     qyb::invoke(f, alias, qyb::keywords(fields))          f(alias, **fields)
//     qyb::call_method(obj, name<"get">(), key)             obj.get(key)
//
// Both go through vectorcall with no tuple or bound method of our own; the names of a call's
// keywords are one interned tuple, made on first use and kept for the process.
template <fixed_string S>
struct Keyword {
    py::handle value;
};
template <fixed_string S>
Keyword<S> kw(py::handle value) {
    return {value};
}

// The keyword arguments `**m`: an exact dict goes as it is, any other mapping is first merged
// into a new dict as the interpreter merges it (merge_keywords).
struct Keywords {
    py::handle dict;
};
inline Keywords keywords(py::handle dict) { return {dict}; }

namespace detail {

template <class T>
struct keyword_name {
    static constexpr bool is = false;
};
template <fixed_string S>
struct keyword_name<Keyword<S>> {
    static constexpr bool is = true;
    static py::handle get() { return name<S>(); }
};

template <class T>
inline constexpr bool is_keyword = keyword_name<std::remove_cvref_t<T>>::is;
template <class T>
inline constexpr bool is_keywords = std::is_same_v<std::remove_cvref_t<T>, Keywords>;

template <class T>
PyObject* argument(const T& value) {
    if constexpr (is_keyword<T>) {
        return value.value.ptr();
    } else if constexpr (is_keywords<T>) {
        return value.dict.ptr();
    } else {
        return py::handle(value).ptr();
    }
}

// Positional arguments first, then kw<...>, then at most one keywords(...), alone and last.
template <class... A>
constexpr bool well_ordered() {
    constexpr bool keyword[] = {false, is_keyword<A>...};
    constexpr bool dict[] = {false, is_keywords<A>...};
    constexpr std::size_t n = sizeof...(A);
    std::size_t dicts = 0, keywords_seen = 0;
    for (std::size_t i = 1; i <= n; ++i) {
        if (dict[i]) {
            ++dicts;
            if (i != n) {
                return false;
            }
        } else if (keyword[i]) {
            ++keywords_seen;
        } else if (keywords_seen > 0) {
            return false;
        }
    }
    return dicts == 0 || (dicts == 1 && keywords_seen == 0);
}

template <class... A>
inline constexpr std::size_t keyword_count = (std::size_t{0} + ... + (is_keyword<A> ? 1 : 0));

template <class T>
void add_keyword_name(PyObject* names, Py_ssize_t& i) {
    if constexpr (is_keyword<T>) {
        PyTuple_SET_ITEM(names, i++, Py_NewRef(keyword_name<std::remove_cvref_t<T>>::get().ptr()));
    }
}

// `**mapping` as the dict a call receives: the mapping itself when it is an exact dict.
py::object keyword_dict(py::handle f, py::handle mapping);

// The tuple of the keyword names of one argument list, made once; null when it has none.
template <class... A>
PyObject* keyword_names() {
    if constexpr (keyword_count<A...> == 0) {
        return nullptr;
    } else {
        static PyObject* names = nullptr;
        if (names == nullptr) {
            PyObject* made = PyTuple_New(static_cast<Py_ssize_t>(keyword_count<A...>));
            if (made == nullptr) {
                throw_error();
            }
            Py_ssize_t i = 0;
            try {
                (add_keyword_name<A>(made, i), ...);
            } catch (std::exception&) {
                Py_DECREF(made);
                throw;
            }
            names = made;
        }
        return names;
    }
}

}  // namespace detail

// `f(args...)`.
template <class... A>
py::object invoke(py::handle f, const A&... args) {
    static_assert(detail::well_ordered<A...>(), "positional arguments, then kw<...>, or one keywords(...) last");
    constexpr std::size_t n = sizeof...(A);
    PyObject* argv[] = {nullptr, detail::argument(args)...};
    if constexpr ((detail::is_keywords<A> || ...)) {
        py::object merged = detail::keyword_dict(f, argv[n]);
        return steal(PyObject_VectorcallDict(f.ptr(), argv + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             merged.ptr()));
    } else {
        constexpr std::size_t k = detail::keyword_count<A...>;
        return steal(PyObject_Vectorcall(f.ptr(), argv + 1, (n - k) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         detail::keyword_names<A...>()));
    }
}

// The `**mapping` of a call of `f`, merged into the dict `kwargs` as the interpreter merges it:
// a dict that keeps dict's own iteration is read directly, any other mapping through keys() and
// subscription. A repeated key, or an object that is no mapping, is refused with the
// interpreter's own TypeError naming `f`; the mapping's other failures pass unchanged.
void merge_keywords(py::handle f, py::handle kwargs, py::handle mapping);

// The `**mapping` of a dict display, into the dict `d`: a mapping by its keys(), anything else
// refused as the display refuses it ("'list' object is not a mapping").
void dict_update(py::handle d, py::handle mapping);

// `obj.<method>(args...)`, without making a bound method; keywords as for invoke, kw<...> only.
template <class... A>
py::object call_method(py::handle obj, py::handle method, const A&... args) {
    static_assert(detail::well_ordered<A...>() && !(detail::is_keywords<A> || ...),
                  "positional arguments, then kw<...>");
    constexpr std::size_t k = detail::keyword_count<A...>;
    PyObject* argv[] = {obj.ptr(), detail::argument(args)...};
    return steal(PyObject_VectorcallMethod(method.ptr(), argv, 1 + sizeof...(A) - k, detail::keyword_names<A...>()));
}

// `{k1: v1, k2: v2, ...}`: a new exact dict, the pairs set in order (a repeated key keeps the
// last value at the first key's place, as a display does).
py::object dict_of(std::initializer_list<std::pair<py::handle, py::handle>> pairs);

// `float(value)` as a C double.
double to_double(py::handle value);

// The error being raised, normalised, with its traceback attached; the indicator is cleared.
py::object fetch_exception();

// `a, b = value`, with the interpreter's messages for a wrong shape.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// An int made once and kept for the process, for fixed limits.
template <long N>
PyObject* int_constant() {
    static PyObject* value = nullptr;
    if (value == nullptr) {
        value = PyLong_FromLong(N);
        if (value == nullptr) {
            throw_error();
        }
    }
    return value;
}

}  // namespace qyb
