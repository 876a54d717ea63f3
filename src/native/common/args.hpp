// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions.
//
// A Signature lists the parameters in order: first the positional-or-keyword
// ones, then the keyword-only ones. Errors use the interpreter's own wording
// for Python functions ("f() missing 1 required positional argument: 'x'"),
// and kind errors the house message
// "Argument 'NAME' has incorrect type (expected dict, got NoneType)".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "ref.hpp"

namespace zk {

// The kinds a parameter may fix: its argument must be exactly that (a
// subclass is refused with the same message).
enum class Kind : unsigned char { any, dict, str, list, bytes };

struct Param {
    const char* name;
    bool required = true;
    bool kwonly = false;
    Kind kind = Kind::any;
    size_t length = 0;  // of name

    constexpr Param(const char* n, bool r, bool k, Kind kd)
        : name(n), required(r), kwonly(k), kind(kd), length(std::char_traits<char>::length(n)) {}
};

constexpr Param pos(const char* name, Kind kind = Kind::any) { return Param{name, true, false, kind}; }
constexpr Param pos_opt(const char* name, Kind kind = Kind::any) { return Param{name, false, false, kind}; }
constexpr Param kw(const char* name, Kind kind = Kind::any) { return Param{name, true, true, kind}; }
constexpr Param kw_opt(const char* name, Kind kind = Kind::any) { return Param{name, false, true, kind}; }

template <int N>
struct Signature {
    static constexpr int size = N;
    const char* fname;  // as shown in messages: "csv", "Crypto.encrypt"
    Param params[N];

    constexpr int n_positional() const {
        int n = 0;
        for (int i = 0; i < N; ++i) n += params[i].kwonly ? 0 : 1;
        return n;
    }
    constexpr bool no_required_kwonly() const {
        for (int i = 0; i < N; ++i)
            if (params[i].kwonly && params[i].required) return false;
        return true;
    }
    constexpr int n_required_positional() const {
        int n = 0;
        for (int i = 0; i < N; ++i) n += (!params[i].kwonly && params[i].required) ? 1 : 0;
        return n;
    }
};

namespace detail {

inline std::string quoted_list(const char* const* names, int n) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as the interpreter words it.
    std::string out;
    for (int i = 0; i < n; ++i) {
        if (i > 0) out += (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

#if PY_VERSION_HEX >= 0x030D0000
// The nearest of the parameter names to a mistyped keyword, as the
// interpreter (3.13 and later) suggests it for Python functions: the
// Levenshtein distance with a case change costing half a move, and no more
// than a third of the characters changed; NULL when none is near.
constexpr size_t kMoveCost = 2, kCaseCost = 1, kMaxSuggested = 40;

inline size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

inline size_t edit_distance(const char* a, size_t na, const char* b, size_t nb, size_t max_cost) {
    while (na && nb && a[0] == b[0]) ++a, ++b, --na, --nb;
    while (na && nb && a[na - 1] == b[nb - 1]) --na, --nb;
    if (na == 0 || nb == 0) return (na + nb) * kMoveCost;
    if (na > kMaxSuggested || nb > kMaxSuggested) return max_cost + 1;
    if (nb < na) std::swap(a, b), std::swap(na, nb);
    if ((nb - na) * kMoveCost > max_cost) return max_cost + 1;
    size_t row[kMaxSuggested];
    for (size_t i = 0; i < na; ++i) row[i] = (i + 1) * kMoveCost;
    size_t result = 0;
    for (size_t j = 0; j < nb; ++j) {
        size_t diagonal = result = j * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < na; ++i) {
            const size_t substitute = diagonal + substitution_cost(b[j], a[i]);
            diagonal = row[i];
            result = std::min(std::min(result, diagonal) + kMoveCost, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

template <int N>
const char* suggestion(const Signature<N>& sig, PyObject* key) {
    Py_ssize_t nkey;
    const char* k = PyUnicode_AsUTF8AndSize(key, &nkey);
    if (!k) {
        PyErr_Clear();
        return nullptr;
    }
    const char* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (int i = 0; i < N; ++i) {
        const char* name = sig.params[i].name;
        const size_t n = std::strlen(name);
        if (n == size_t(nkey) && std::memcmp(name, k, n) == 0) continue;
        const size_t max_distance = std::min((size_t(nkey) + n + 3) * kMoveCost / 6, best_distance - 1);
        const size_t d = edit_distance(k, size_t(nkey), name, n, max_distance);
        if (d <= max_distance && (!best || d < best_distance)) best = name, best_distance = d;
    }
    return best;
}
#endif

inline void unexpected_keyword(const char* fname, PyObject* key, const char* near) {
    if (near)
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'. Did you mean '%s'?", fname, key,
                     near);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
}

// Does the keyword `key` (a str) name the parameter `name`? ASCII keys, the
// usual ones, are compared in place.
inline bool names(PyObject* key, const Param& param) {
    if (PyUnicode_IS_COMPACT_ASCII(key)) {
        // Most names that differ differ in the first character (an empty key
        // has its terminating NUL there). The lengths are compared before the
        // bytes: a key may hold a NUL.
        const char* k = static_cast<const char*>(PyUnicode_DATA(key));
        const size_t n = size_t(PyUnicode_GET_LENGTH(key));
        return k[0] == param.name[0] && n == param.length && std::memcmp(param.name, k, n) == 0;
    }
    return PyUnicode_CompareWithASCIIString(key, param.name) == 0;
}

template <int N>
bool report_missing(const Signature<N>& sig, PyObject** out) {
    const char* names[N > 0 ? N : 1];
    for (int pass = 0; pass < 2; ++pass) {
        bool kwonly = pass == 1;
        int n = 0;
        for (int i = 0; i < N; ++i) {
            if (sig.params[i].kwonly == kwonly && sig.params[i].required && out[i] == nullptr)
                names[n++] = sig.params[i].name;
        }
        if (n > 0) {
            std::string list = quoted_list(names, n);
            PyErr_Format(PyExc_TypeError, "%s() missing %d required %s argument%s: %s", sig.fname, n,
                         kwonly ? "keyword-only" : "positional", n == 1 ? "" : "s", list.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace detail

// The house kind error: Argument 'NAME' has incorrect type (expected KIND, got KIND).
inline bool kind_error(PyObject* given, const char* argname, const char* expected) {
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", argname, expected,
                 Py_TYPE(given)->tp_name);
    return false;
}

// Kinds are tested exactly: subclasses are rejected with the same message.
inline bool expect_dict(PyObject* o, const char* argname) {
    return PyDict_CheckExact(o) || kind_error(o, argname, "dict");
}
inline bool expect_str(PyObject* o, const char* argname) {
    return PyUnicode_CheckExact(o) || kind_error(o, argname, "str");
}
inline bool expect_list(PyObject* o, const char* argname) {
    return PyList_CheckExact(o) || kind_error(o, argname, "list");
}
inline bool expect_bytes(PyObject* o, const char* argname) {
    return PyBytes_CheckExact(o) || kind_error(o, argname, "bytes");
}

// The kinds the signature fixes, of the arguments given, in parameter order.
template <int N>
inline bool check_kinds(const Signature<N>& sig, PyObject* const* out) {
    for (int i = 0; i < N; ++i) {
        PyObject* a = out[i];
        if (!a) continue;
        switch (sig.params[i].kind) {
        case Kind::any: break;
        case Kind::dict: if (!expect_dict(a, sig.params[i].name)) return false; break;
        case Kind::str: if (!expect_str(a, sig.params[i].name)) return false; break;
        case Kind::list: if (!expect_list(a, sig.params[i].name)) return false; break;
        case Kind::bytes: if (!expect_bytes(a, sig.params[i].name)) return false; break;
        }
    }
    return true;
}

namespace detail {

// Every other call: keywords, surplus or missing arguments.
template <int N>
[[gnu::noinline]] bool parse_args_general(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, PyObject** out) {
    const int npos = sig.n_positional();
    for (int i = 0; i < N; ++i) out[i] = nullptr;
    const Py_ssize_t ncopy = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < ncopy; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        // Keywords mostly come in the signature's order: the parameter after
        // the last one named is tried first.
        int next = int(ncopy);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int found = -1;
            if (next < N && detail::names(key, sig.params[next])) {
                found = next;
            } else {
                for (int i = 0; i < N; ++i) {
                    if (detail::names(key, sig.params[i])) {
                        found = i;
                        break;
                    }
                }
            }
            next = found + 1;
            if (found < 0) {
#if PY_VERSION_HEX >= 0x030D0000
                detail::unexpected_keyword(sig.fname, key, detail::suggestion(sig, key));
#else
                detail::unexpected_keyword(sig.fname, key, nullptr);
#endif
                return false;
            }
            if (out[found] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.fname,
                             sig.params[found].name);
                return false;
            }
            out[found] = args[nargs + k];
        }
    }
    if (nargs > npos) {
        const int nreq = sig.n_required_positional();
        int kwonly_given = 0;
        for (int i = 0; i < N; ++i) kwonly_given += (sig.params[i].kwonly && out[i] != nullptr) ? 1 : 0;
        char range[48];
        if (nreq == npos)
            PyOS_snprintf(range, sizeof range, "%d positional argument%s", npos, npos == 1 ? "" : "s");
        else
            PyOS_snprintf(range, sizeof range, "from %d to %d positional arguments", nreq, npos);
        if (kwonly_given) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes %s but %zd positional argument%s (and %d keyword-only argument%s) were given",
                         sig.fname, range, nargs, nargs == 1 ? "" : "s", kwonly_given, kwonly_given == 1 ? "" : "s");
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", sig.fname, range, nargs,
                         nargs == 1 ? "was" : "were");
        }
        return false;
    }
    for (int i = 0; i < N; ++i)
        if (sig.params[i].required && out[i] == nullptr) return detail::report_missing(sig, out);
    return check_kinds(sig, out);
}

}  // namespace detail

// Fills out[0..N) with borrowed references (NULL for an optional parameter
// that was not given). The references live as long as the call.
//
// The checks run in the interpreter's order for Python functions: keywords
// first (unknown name, a parameter given twice), then surplus positional
// arguments, then missing ones.
//
// Inlined where it is called: with the signature a constant, the common call
// (every positional parameter given, nothing by keyword) is a few moves and
// the kind checks the signature asks for.
template <int N>
[[gnu::always_inline]] inline bool parse_args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, PyObject** out) {
    const int npos = sig.n_positional();
    if (kwnames == nullptr && nargs == npos && sig.no_required_kwonly()) {
        for (int i = 0; i < npos; ++i) out[i] = args[i];
        for (int i = npos; i < N; ++i) out[i] = nullptr;
        return check_kinds(sig, out);
    }
    return detail::parse_args_general(sig, args, nargs, kwnames, out);
}

// A method that takes no arguments, worded as the interpreter words it for
// one written in C.
inline bool no_arguments(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", fname);
        return false;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", fname, nargs);
        return false;
    }
    return true;
}

// Runs f(args, nargs, kwnames), a fastcall of the arguments of a classic
// (tuple, dict) call such as tp_new and tp_init receive.
template <typename F>
inline auto with_fastcall(PyObject* args, PyObject* kwargs, F&& f) -> decltype(f(nullptr, 0, nullptr)) {
    using R = decltype(f(nullptr, 0, nullptr));
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return f(&PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return detail::failure<R>();
    PyObject** stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(nargs + nkw)));
    if (!stack) {
        PyErr_NoMemory();
        return detail::failure<R>();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t at = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &at, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, new_ref(key));
        stack[nargs + k] = value;
        ++k;
    }
    // The values stay alive: the call's dict holds them for its duration.
    R result = f(stack, nargs, kwnames.get());
    PyMem_Free(stack);
    return result;
}

// Fills out[0..N) from a classic (tuple, dict) call, for constructors.
template <int N>
inline bool parse_tuple_call(const Signature<N>& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    return with_fastcall(args, kwargs, [&](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        return parse_args(sig, stack, nargs, kwnames, out);
    });
}

// A signature from its parameters: signature("csv", pos("value")).
template <typename... P>
constexpr auto signature(const char* fname, P... params) {
    return Signature<int(sizeof...(P))>{fname, {params...}};
}

// What an operation gives back, as the interpreter takes it: a Ref as it
// is, a truth value (1, 0, -1: error) as a bool, success (false: error) as
// None.
inline PyObject* to_result(Ref made) { return made.release(); }
inline PyObject* to_result(int truth) {
    if (truth < 0) return nullptr;
    return new_ref(truth ? Py_True : Py_False);
}
inline PyObject* to_result(bool done) {
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

namespace detail {

// The implementation of a module function whose arguments `Sig` describes
// entirely: checked, then handed to Op(State&, arguments...) (absent optional
// ones as NULL).
template <typename State, const auto& Sig, auto Op>
PyObject* module_entry(void* state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr int n = std::remove_cvref_t<decltype(Sig)>::size;
    PyObject* a[n];
    if (!parse_args(Sig, args, nargs, kwnames, a)) return nullptr;
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return to_result(Op(*static_cast<State*>(state), a[I]...));
    }(std::make_index_sequence<n>{});
}

}  // namespace detail

}  // namespace zk
