// The dynamic value model on the interpreter's own objects: truth value,
// text form, trim, case mapping, integer conversion, fallback reads.
//
// For none, booleans, integers, floats, strings, lists and dicts these agree
// with str(), bool(), int(), str.strip(), str.upper()/lower(); objects of any
// other kind are handed to the interpreter's own protocols. What a function
// makes comes back as a Ref (empty: an exception is set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "ref.hpp"
#include "shared.hpp"

namespace zk {

// Strings every module needs, made once at module load and held by the
// module's state.
struct Common {
    PyObject* s_None = nullptr;
    PyObject* s_True = nullptr;
    PyObject* s_False = nullptr;
    PyObject* s_empty = nullptr;
    PyObject* m_upper = nullptr;
    PyObject* m_lower = nullptr;
    PyObject* m_casefold = nullptr;

    bool init() {
        s_None = PyUnicode_InternFromString("None");
        s_True = PyUnicode_InternFromString("True");
        s_False = PyUnicode_InternFromString("False");
        s_empty = PyUnicode_New(0, 0);
        m_upper = PyUnicode_InternFromString("upper");
        m_lower = PyUnicode_InternFromString("lower");
        m_casefold = PyUnicode_InternFromString("casefold");
        return s_None && s_True && s_False && s_empty && m_upper && m_lower && m_casefold;
    }
    template <typename F>
    void each(F&& f) {
        f(s_None);
        f(s_True);
        f(s_False);
        f(s_empty);
        f(m_upper);
        f(m_lower);
        f(m_casefold);
    }
    void clear() {
        Py_CLEAR(s_None);
        Py_CLEAR(s_True);
        Py_CLEAR(s_False);
        Py_CLEAR(s_empty);
        Py_CLEAR(m_upper);
        Py_CLEAR(m_lower);
        Py_CLEAR(m_casefold);
    }
};

#if PY_VERSION_HEX < 0x030C0000
#define ZK_READY(s) (PyUnicode_READY(s) == 0)
#else
#define ZK_READY(s) (true)
#endif

// ---------------------------------------------------------------------------
// Truth value: 1, 0, or -1 with an exception (a __bool__ or __len__ may raise).
inline int truth(PyObject* v) {
    if (v == Py_None || v == Py_False) return 0;
    if (v == Py_True) return 1;
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(v) != 0;
    if (t == &PyLong_Type) return PyObject_IsTrue(v);  // no Python code runs
    if (t == &PyList_Type) return PyList_GET_SIZE(v) != 0;
    if (t == &PyDict_Type) return PyDict_GET_SIZE(v) != 0;
    return PyObject_IsTrue(v);
}

// ---------------------------------------------------------------------------
// Text form: the string itself, "None", "True"/"False", else str().
inline Ref text_form(const Common& c, PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    if (v == Py_None) return Ref::borrow(c.s_None);
    if (v == Py_True) return Ref::borrow(c.s_True);
    if (v == Py_False) return Ref::borrow(c.s_False);
    Ref s = Ref::steal(PyObject_Str(v));
    if (!s || PyUnicode_CheckExact(s.get())) return s;
    // A __str__ may return a str subclass: keep its characters only, so that
    // no method of the subclass (an upper() or strip() of its own) runs later
    // and every text handed back is a plain str.
    return Ref::steal(PyUnicode_FromObject(s.get()));
}

// ---------------------------------------------------------------------------
// Whitespace of trimming: the Unicode White_Space characters and U+001C..U+001F,
// the very set the interpreter's str.isspace() tests.
inline bool is_space(Py_UCS4 ch) { return Py_UNICODE_ISSPACE(ch); }

// Whitespace of trimming among the ASCII characters: \t \n \v \f \r,
// U+001C..U+001F and the space.
inline bool ascii_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

// Narrows [i, j), a range of the code points of a ready str `s`, so that it
// leaves out the whitespace of trimming at either end.
[[gnu::always_inline]] inline void trim_bounds(PyObject* s, Py_ssize_t& i, Py_ssize_t& j) {
    if (PyUnicode_IS_ASCII(s)) {
        const unsigned char* p = static_cast<const unsigned char*>(PyUnicode_DATA(s));
        while (i < j && ascii_space(p[i])) ++i;
        while (j > i && ascii_space(p[j - 1])) --j;
        return;
    }
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    while (i < j && is_space(PyUnicode_READ(kind, data, i))) ++i;
    while (j > i && is_space(PyUnicode_READ(kind, data, j - 1))) --j;
}

// Code points [i, j) of a ready str as an exact str: `s` itself when that is
// all of an exact str.
[[gnu::always_inline]] inline Ref substring(PyObject* s, Py_ssize_t i, Py_ssize_t j) {
    if (i == 0 && j == PyUnicode_GET_LENGTH(s) && PyUnicode_CheckExact(s)) return Ref::borrow(s);
    if (PyUnicode_IS_ASCII(s)) {
        PyObject* out = PyUnicode_New(j - i, 127);
        if (out) std::memcpy(PyUnicode_DATA(out), static_cast<const char*>(PyUnicode_DATA(s)) + i, size_t(j - i));
        return Ref::steal(out);
    }
    return Ref::steal(PyUnicode_Substring(s, i, j));
}

// Trim of an exact str (or a str subclass, whose content is read as it is).
inline Ref trim(PyObject* s) {
    if (!ZK_READY(s)) return Ref();
    Py_ssize_t i = 0, j = PyUnicode_GET_LENGTH(s);
    trim_bounds(s, i, j);
    return substring(s, i, j);
}

// Trimmed text form.
inline Ref trimmed_text(const Common& c, PyObject* v) {
    Ref t = text_form(c, v);
    return t ? trim(t.get()) : Ref();
}

// Upper- and lower-case of an exact str: ASCII in place, the rest by the
// interpreter's full Unicode case mapping.
inline Ref ascii_case(PyObject* s, bool upper) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const unsigned char* src = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    Py_ssize_t first = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned char ch = src[i];
        if (upper ? (ch >= 'a' && ch <= 'z') : (ch >= 'A' && ch <= 'Z')) {
            first = i;
            break;
        }
    }
    if (first < 0) return Ref::borrow(s);
    Ref out = Ref::steal(PyUnicode_New(n, 127));
    if (!out) return out;
    unsigned char* dst = static_cast<unsigned char*>(PyUnicode_DATA(out.get()));
    std::memcpy(dst, src, static_cast<size_t>(first));
    for (Py_ssize_t i = first; i < n; ++i) {
        unsigned char ch = src[i];
        if (upper ? (ch >= 'a' && ch <= 'z') : (ch >= 'A' && ch <= 'Z')) ch ^= 0x20;
        dst[i] = ch;
    }
    return out;
}

inline Ref upper(const Common& c, PyObject* s) {
    if (!ZK_READY(s)) return Ref();
    if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) return ascii_case(s, true);
    return Ref::steal(PyObject_CallMethodNoArgs(s, c.m_upper));
}
inline Ref lower(const Common& c, PyObject* s) {
    if (!ZK_READY(s)) return Ref();
    if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) return ascii_case(s, false);
    return Ref::steal(PyObject_CallMethodNoArgs(s, c.m_lower));
}

// Upper-cased text form.
inline Ref upper_text(const Common& c, PyObject* v) {
    Ref t = text_form(c, v);
    return t ? upper(c, t.get()) : Ref();
}

// True when the exact ASCII str `s` equals `lit` ignoring ASCII case.
inline bool ascii_ieq(PyObject* s, const char* lit, size_t len) {
    if (static_cast<size_t>(PyUnicode_GET_LENGTH(s)) != len) return false;
    const unsigned char* p = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    for (size_t i = 0; i < len; ++i) {
        unsigned char ch = p[i];
        if (ch >= 'A' && ch <= 'Z') ch ^= 0x20;
        if (ch != static_cast<unsigned char>(lit[i])) return false;
    }
    return true;
}

// Equality of an exact ASCII-or-not str with an ASCII literal.
inline bool str_eq(PyObject* s, const char* lit, size_t len) {
    return PyUnicode_IS_ASCII(s) && static_cast<size_t>(PyUnicode_GET_LENGTH(s)) == len &&
           std::memcmp(PyUnicode_DATA(s), lit, len) == 0;
}

// ---------------------------------------------------------------------------
// Integer conversion.

// A text read as a base-10 integer: surrounding whitespace as for trimming,
// an optional sign, Unicode decimal digits with single underscores between
// them. Never truncates: long texts go through the interpreter's own parser.
// 1 with `out` set; 0 for a text that is not a number, with no exception (the
// caller words the error, or falls back without making one); -1 on error.
inline int parse_int_text(PyObject* s, Ref& out) {
    if (!ZK_READY(s)) return -1;
    if (PyUnicode_IS_ASCII(s)) {
        // The common case, a short ASCII number such as "50": read in place.
        const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
        const char* p = static_cast<const char*>(PyUnicode_DATA(s));
        Py_ssize_t i = 0;
        bool negative = false;
        if (len > 0 && (p[0] == '-' || p[0] == '+')) {
            negative = p[0] == '-';
            i = 1;
        }
        if (len - i > 0 && len - i <= 18) {
            long long acc = 0;
            Py_ssize_t k = i;
            while (k < len && p[k] >= '0' && p[k] <= '9') acc = acc * 10 + (p[k++] - '0');
            if (k == len) {
                out = Ref::steal(PyLong_FromLongLong(negative ? -acc : acc));
                return out ? 1 : -1;
            }
        }
        // anything else (whitespace, underscores, long numbers): the general reading
    }
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t i = 0, j = PyUnicode_GET_LENGTH(s);
    trim_bounds(s, i, j);
    bool negative = false;
    if (i < j) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == '+' || ch == '-') {
            negative = ch == '-';
            ++i;
        }
    }
    Py_ssize_t ndigits = 0;
    bool ok = i < j;
    bool prev_digit = false;
    uint64_t acc = 0;
    for (Py_ssize_t k = i; ok && k < j; ++k) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, k);
        if (ch == '_') {
            // a single underscore, between two digits
            ok = prev_digit && k + 1 < j;
            prev_digit = false;
            continue;
        }
        int d = (ch < 128) ? ((ch >= '0' && ch <= '9') ? int(ch - '0') : -1) : Py_UNICODE_TODECIMAL(ch);
        if (d < 0) {
            ok = false;
            break;
        }
        prev_digit = true;
        if (ndigits < 18) acc = acc * 10 + unsigned(d);
        ++ndigits;
    }
    if (!ok || ndigits == 0) return 0;
    if (ndigits <= 18) {
        long long v = static_cast<long long>(acc);
        out = Ref::steal(PyLong_FromLongLong(negative ? -v : v));
        return out ? 1 : -1;
    }
    // Long numbers: ASCII digits for the interpreter's parser (which also
    // applies its limit on the length of integer texts).
    char* buf = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(ndigits) + 2));
    if (!buf) {
        PyErr_NoMemory();
        return -1;
    }
    size_t w = 0;
    if (negative) buf[w++] = '-';
    for (Py_ssize_t k = i; k < j; ++k) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, k);
        if (ch == '_') continue;
        buf[w++] = static_cast<char>('0' + Py_UNICODE_TODECIMAL(ch));
    }
    buf[w] = '\0';
    out = Ref::steal(PyLong_FromString(buf, nullptr, 10));
    PyMem_Free(buf);
    return out ? 1 : -1;
}

inline Ref int_from_text(PyObject* s) {
    Ref out;
    if (parse_int_text(s, out) == 0)
        PyErr_Format(PyExc_ValueError, "invalid literal for int() with base 10: %R", s);
    return out;
}

// Integer conversion of any value: int as is, bool as 0/1, float truncated
// (NaN: ValueError, infinity: OverflowError), text parsed; none, list and dict
// fail with the interpreter's TypeError; other objects go through int().
inline Ref to_int(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyLong_Type) return Ref::borrow(v);
    if (t == &PyBool_Type) return Ref::steal(PyLong_FromLong(v == Py_True));
    if (t == &PyFloat_Type) return Ref::steal(PyLong_FromDouble(PyFloat_AS_DOUBLE(v)));
    if (PyUnicode_Check(v)) return int_from_text(v);
    if (v == Py_None || PyList_Check(v) || PyDict_Check(v)) {
        PyErr_Format(PyExc_TypeError,
                     "int() argument must be a string, a bytes-like object or a real number, not '%.200s'",
                     t->tp_name);
        return Ref();
    }
    return Ref::steal(PyNumber_Long(v));
}

// Integer conversion with a fallback: a type or value error of the conversion
// gives the default; anything else, an overflow among them, propagates.
// Absent values and texts that are not numbers fall back without making an
// exception object. `fallback()` makes the default, only when it is needed.
template <typename F>
inline Ref to_int_or_else(PyObject* v, F&& fallback) {
    if (v == nullptr || v == Py_None || PyList_CheckExact(v) || PyDict_CheckExact(v)) return fallback();
    Ref out;
    if (PyUnicode_CheckExact(v)) {
        const int parsed = parse_int_text(v, out);
        if (parsed == 0) return fallback();
    } else {
        out = to_int(v);
    }
    // A text of well-formed digits can still be refused by the interpreter's
    // own parser (its limit on the length of integer texts): a value error too.
    if (!out && (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError))) {
        PyErr_Clear();
        return fallback();
    }
    return out;
}

inline Ref to_int_or(PyObject* v, PyObject* deflt) {
    return to_int_or_else(v, [deflt] { return Ref::borrow(deflt); });
}
inline Ref to_int_or(PyObject* v, long deflt) {
    return to_int_or_else(v, [deflt] { return Ref::steal(PyLong_FromLong(deflt)); });
}

// ---------------------------------------------------------------------------
// Map reads. The dict being read may be changed by Python code that runs
// between two reads (a __bool__ or __str__ of an option value), so every value
// is held by a strong reference of its own.

// get(key): a strong reference, NULL when absent; false on a lookup error.
inline bool get(PyObject* d, PyObject* key, Ref& out) { return dict_get_ref(d, key, out) >= 0; }

// The fallback chain (a or b or c), the one rule every option read follows:
// the operands are read in order by `read(operand, Ref&)` (false on error),
// and the first truthy one wins; `out` is that one, else the last read (empty
// when that one is absent). Operands after the winner are not read. 1 when a
// truthy value was found, 0 when none was, -1 on error.
template <typename Operands, typename Read>
[[gnu::always_inline]] inline int first_truthy_by(const Operands& operands, Read&& read, Ref& out) {
    for (const auto& operand : operands) {
        if (!read(operand, out)) return -1;
        if (out) {
            const int t = truth(out.get());
            if (t) return t;
        }
    }
    return 0;
}

// The fallback chain over keys of a map.
inline int first_truthy(PyObject* d, std::initializer_list<PyObject*> keys, Ref& out) {
    return first_truthy_by(keys, [d](PyObject* key, Ref& v) { return get(d, key, v); }, out);
}

// The fallback chain over values at hand (NULL: absent).
inline int first_truthy_of(std::initializer_list<PyObject*> values, Ref& out) {
    return first_truthy_by(values, [](PyObject* v, Ref& r) { return (r = Ref::borrow(v)), true; }, out);
}

// Truthy test of a possibly absent value: 1, 0, or -1 with an exception.
inline int truthy_ref(const Ref& r) { return r ? truth(r.get()) : 0; }

}  // namespace zk
