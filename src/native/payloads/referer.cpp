// Web referers: the address of the service's web page on which the same
// query would be made, with the payload form-encoded into its query.
#include <cstring>
#include <string>

#include "common/stack.hpp"
#include "payloads.hpp"

namespace zk::payloads {

namespace {

constexpr const char kOrigin[] = "https://www.sellersprite.com";

// Characters that stay as they are in form encoding.
struct SafeTable {
    bool safe[256] = {};
    constexpr SafeTable() {
        for (int c = 'a'; c <= 'z'; ++c) safe[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c) safe[c] = true;
        for (int c = '0'; c <= '9'; ++c) safe[c] = true;
        safe[int('_')] = safe[int('.')] = safe[int('-')] = safe[int('~')] = true;
    }
};
constexpr SafeTable kSafe;

// The referer under construction: plain ASCII, in a buffer on the stack
// that moves to the heap when it outgrows it. Encoding reserves room for a
// whole text first (three bytes per byte at most) and then copies runs of
// characters that stay as they are at once.
class Out {
public:
    Out() = default;
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    ~Out() {
        if (p_ != small_) PyMem_Free(p_);
    }

    bool raw(const char* s, size_t n) {
        if (!reserve(n)) return false;
        std::memcpy(p_ + len_, s, n);
        len_ += n;
        return true;
    }
    template <size_t N>
    bool raw(const char (&s)[N]) {
        return raw(s, N - 1);
    }
    bool raw(char c) { return raw(&c, 1); }

    // The "&" before every entry but the first.
    bool separator(bool& first) {
        if (first) {
            first = false;
            return true;
        }
        return raw('&');
    }

    // Form-encodes UTF-8 bytes.
    bool bytes(const char* s, Py_ssize_t n) {
        if (n > PY_SSIZE_T_MAX / 3) {
            PyErr_NoMemory();
            return false;
        }
        if (!reserve(3 * size_t(n))) return false;
        static constexpr char hex[] = "0123456789ABCDEF";
        const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
        const unsigned char* end = p + n;
        char* w = p_ + len_;
        while (p < end) {
            const unsigned char* run = p;
            while (end - p >= 4 && kSafe.safe[p[0]] && kSafe.safe[p[1]] && kSafe.safe[p[2]] && kSafe.safe[p[3]]) p += 4;
            while (p < end && kSafe.safe[*p]) ++p;
            std::memcpy(w, run, size_t(p - run));
            w += p - run;
            if (p == end) break;
            const unsigned char c = *p++;
            if (c == ' ') {
                *w++ = '+';
            } else {
                w[0] = '%';
                w[1] = hex[c >> 4];
                w[2] = hex[c & 15];
                w += 3;
            }
        }
        len_ = size_t(w - p_);
        return true;
    }

    // Form-encodes a str (lone surrogates fail as the UTF-8 codec does).
    bool text(PyObject* s) {
        if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s))
            return bytes(static_cast<const char*>(PyUnicode_DATA(s)), PyUnicode_GET_LENGTH(s));
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        return p && bytes(p, n);
    }

    // Form-encodes the text form of a value; integers, booleans and none
    // without making their text.
    bool value(State& st, PyObject* v) {
        if (PyUnicode_CheckExact(v)) return text(v);
        if (v == Py_True) return raw("True");
        if (v == Py_False) return raw("False");
        if (v == Py_None) return raw("None");
        if (PyLong_CheckExact(v)) {
            int overflow;
            const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (!overflow) return integer(x);
            // out of range: the interpreter's digits below
        }
        Ref t = text_form(st.c, v);
        return t && text(t.get());
    }

    size_t size() const { return len_; }
    void truncate(size_t n) { len_ = n; }

    Ref finish() const {
        Ref out = Ref::steal(PyUnicode_New(Py_ssize_t(len_), 127));
        if (out) std::memcpy(PyUnicode_DATA(out.get()), p_, len_);
        return out;
    }

private:
    bool integer(long long x) {
        char digits[24];
        char* end = digits + sizeof digits;
        char* d = end;
        unsigned long long u = x < 0 ? 0ull - static_cast<unsigned long long>(x) : static_cast<unsigned long long>(x);
        do *--d = char('0' + u % 10);
        while (u /= 10);
        if (x < 0) *--d = '-';  // "-" stays as it is in form encoding
        return raw(d, size_t(end - d));
    }

    bool reserve(size_t extra) {
        if (extra <= cap_ - len_) return true;
        if (extra > size_t(PY_SSIZE_T_MAX) - len_) {
            PyErr_NoMemory();
            return false;
        }
        size_t cap = cap_ * 2;
        if (cap < len_ + extra) cap = len_ + extra;
        char* bigger = static_cast<char*>(PyMem_Malloc(cap));
        if (!bigger) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(bigger, p_, len_);
        if (p_ != small_) PyMem_Free(p_);
        p_ = bigger;
        cap_ = cap;
        return true;
    }

    char small_[1024];
    char* p_ = small_;
    size_t len_ = 0;
    size_t cap_ = sizeof small_;
};

// key=value, with "&" before every entry but the first.
bool entry(State& st, Out& out, bool& first, PyObject* key, PyObject* value) {
    return out.separator(first) && out.value(st, key) && out.raw('=') && out.value(st, value);
}

// A key of the one-pass encoding: an exact str without "[", so that no two
// flattened keys can coincide.
bool plain_key(PyObject* key) {
    if (!PyUnicode_CheckExact(key) || !ZK_READY(key)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    if (PyUnicode_IS_ASCII(key)) return !std::memchr(PyUnicode_DATA(key), '[', size_t(n));
    return PyUnicode_FindChar(key, '[', 0, n, 1) == -1;
}

// An entry of the one-pass encoding: a plain key, and a value that, if it is
// a map, is an exact dict (a subclass may keep an order of its own) with
// plain keys.
bool plain_entry(PyObject* k, PyObject* v) {
    if (!plain_key(k)) return false;
    if (!PyDict_Check(v)) return true;
    if (!PyDict_CheckExact(v)) return false;
    CriticalSection section(v);
    Py_ssize_t pos = 0;
    PyObject *ck, *cv;
    while (PyDict_Next(v, &pos, &ck, &cv))
        if (!plain_key(ck)) return false;
    return true;
}

// Can the payload from position `pos` on be encoded in one pass?
bool simple_keys(PyObject* payload, Py_ssize_t pos) {
    PyObject *k, *v;
    while (PyDict_Next(payload, &pos, &k, &v))
        if (!plain_entry(k, v)) return false;
    return true;
}

// A value whose text form runs no Python code.
inline bool inert(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyBool_Type || v == Py_None || t == &PyFloat_Type;
}

// Does writing `v` (a value of the payload) run Python code?
bool runs_code(PyObject* v) {
    if (PyList_CheckExact(v)) {
        CriticalSection section(v);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
            if (!inert(PyList_GET_ITEM(v, i))) return true;
        return false;
    }
    if (PyDict_CheckExact(v)) {
        CriticalSection section(v);
        Py_ssize_t pos = 0;
        PyObject *ck, *cv;
        while (PyDict_Next(v, &pos, &ck, &cv))
            if (!inert(cv)) return true;
        return false;
    }
    return !inert(v);
}

bool changed(PyObject* d, Py_ssize_t size0) {
    if (PyDict_GET_SIZE(d) == size0) return false;
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return true;
}

// A key the builders set is one of the module's interned names, most of
// which stay as they are: those are copied without being scanned.
bool key_text(State& st, Out& out, PyObject* key) {
    const int slot = slot_by_address(st, key);
    if (slot >= 0 && st.slot_form_safe[slot])
        return out.raw(static_cast<const char*>(PyUnicode_DATA(key)), size_t(PyUnicode_GET_LENGTH(key)));
    return out.text(key);
}

enum class Pass { done, failed, general };

// After a failure at `pos` of the one-pass encoding: a value that could not
// be encoded (a lone surrogate) may be one that a later key replaces once the
// payload is flattened; while no Python code has run (`checked` false), such
// a payload goes to the general encoding, where a replaced value is never
// encoded.
[[gnu::cold, gnu::noinline]] Pass failed_pass(PyObject* payload, Py_ssize_t pos, bool checked) {
    if (!checked && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) && !simple_keys(payload, pos)) {
        PyErr_Clear();
        return Pass::general;
    }
    return Pass::failed;
}

// The one-pass encoding. Keys are checked as they come; before the first
// value whose text form may run Python code, the keys still ahead are
// checked at once, so that the general encoding, when a key turns out not to
// be plain, never shows a value twice.
Pass one_pass(State& st, Out& out, PyObject* payload) {
    bool first = true, checked = false;
    CriticalSection section(payload);
    const Py_ssize_t size0 = PyDict_GET_SIZE(payload);
    Py_ssize_t pos = 0, at = 0;
    PyObject *k0, *v0;
    for (; PyDict_Next(payload, &pos, &k0, &v0); at = pos) {
        if (!checked) {
            if (!plain_entry(k0, v0)) return Pass::general;
            if (runs_code(v0)) {
                if (!simple_keys(payload, at)) return Pass::general;
                checked = true;
            }
        }
        Ref key = Ref::borrow(k0), value = Ref::borrow(v0);
        PyObject* v = value.get();
        if (v == Py_None) continue;
        if (PyDict_Check(v)) {
            CriticalSection child_section(v);
            const Py_ssize_t csize0 = PyDict_GET_SIZE(v);
            Py_ssize_t cpos = 0;
            PyObject *ck0, *cv0;
            while (PyDict_Next(v, &cpos, &ck0, &cv0)) {
                Ref ck = Ref::borrow(ck0), cv = Ref::borrow(cv0);
                if (!out.separator(first) || !key_text(st, out, key.get()) || !out.raw("%5B") ||
                    !key_text(st, out, ck.get()) || !out.raw("%5D=") || !out.value(st, cv.get()) ||
                    changed(v, csize0))
                    return failed_pass(payload, pos, checked);
            }
        } else if (PyList_Check(v)) {
            // The list's bracketed array text: ["a","b"].
            if (!out.separator(first) || !key_text(st, out, key.get()) || !out.raw('='))
                return failed_pass(payload, pos, checked);
            if (PyList_GET_SIZE(v) == 0) {
                if (!out.raw("%5B%5D")) return failed_pass(payload, pos, checked);
            } else {
                for (Py_ssize_t i = 0;; ++i) {
                    Ref item = list_item(v, i);
                    if (!item) break;
                    if (!(i == 0 ? out.raw("%5B%22") : out.raw("%22%2C%22")) || !out.value(st, item.get()))
                        return failed_pass(payload, pos, checked);
                }
                if (!out.raw("%22%5D")) return failed_pass(payload, pos, checked);
            }
        } else if (!out.separator(first) || !key_text(st, out, key.get()) || !out.raw('=') ||
                   !out.value(st, v)) {
            return failed_pass(payload, pos, checked);
        }
        if (changed(payload, size0)) return failed_pass(payload, pos, checked);
    }
    return Pass::done;
}

// The flattened payload, form-encoded: lists as their bracketed array text,
// maps as key[child] entries, none left out.
bool flattened(State& st, Out& out, PyObject* payload) {
    const size_t start = out.size();
    switch (one_pass(st, out, payload)) {
    case Pass::done: return true;
    case Pass::failed: return false;
    case Pass::general: break;
    }
    out.truncate(start);
    Ref flat = flatten_query(st, payload);
    if (!flat) return false;
    bool first = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(flat.get(), &pos, &k, &v))
        if (!entry(st, out, first, k, v)) return false;
    return true;
}

// ",".join(values), form-encoded: a list of strs written piece by piece,
// anything else joined by the interpreter (with its errors).
bool joined(State& st, Out& out, PyObject* values) {
    if (PyList_CheckExact(values)) {
        CriticalSection section(values);
        bool all_text = true;
        for (Py_ssize_t i = 0; all_text && i < PyList_GET_SIZE(values); ++i)
            all_text = PyUnicode_CheckExact(PyList_GET_ITEM(values, i));
        if (all_text) {
            // Encoding runs no Python code: the list cannot change meanwhile.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i)
                if ((i > 0 && !out.raw("%2C")) || !out.text(PyList_GET_ITEM(values, i))) return false;
            return true;
        }
    }
    Ref text = Ref::steal(PyUnicode_Join(st.s[k_comma], values));
    return text && out.text(text.get());
}

// The fallback chain get(key) or fallback, as a strong reference.
bool get_or(PyObject* payload, PyObject* key, PyObject* fallback, Ref& out) {
    if (!get(payload, key, out)) return false;
    int t = truthy_ref(out);
    if (t < 0) return false;
    if (!t) out = Ref::borrow(fallback);
    return true;
}

Ref referer(State& st, PyObject* payload, PyObject* scenario);

}  // namespace

bool init_referer(State& st) {
    std::string page = std::string(kOrigin) + "/v3/keyword-miner/";
    st.keyword_miner_referer = PyUnicode_FromStringAndSize(page.data(), Py_ssize_t(page.size()));
    return st.keyword_miner_referer != nullptr;
}

Ref build_referer(State& st, PyObject* payload, PyObject* scenario) {
    if (str_eq(scenario, "keyword-miner", 13)) return Ref::borrow(st.keyword_miner_referer);
    // The text form of a value may call back into Python (and build a referer again).
    if (!enter_recursive_call(" while building a referer")) return nullptr;
    Ref out = referer(st, payload, scenario);
    Py_LeaveRecursiveCall();
    return out;
}

namespace {

Ref referer(State& st, PyObject* payload, PyObject* scenario) {
    Out out;
    if (!out.raw(kOrigin)) return nullptr;
    if (str_eq(scenario, "keyword-reverse", 15)) {
        Ref q, market, id, date, badges;
        if (!get_or(payload, st.s[k_asin], st.c.s_empty, q)) return nullptr;
        if (!out.raw("/v3/keyword-reverse/?q=") || !out.value(st, q.get())) return nullptr;
        if (!get_or(payload, st.s[k_market], st.s[k_JP], market)) return nullptr;
        id = market_id(st, market.get());
        if (!id || !out.raw("&marketId=") || !out.value(st, id.get())) return nullptr;
        if (!get_or(payload, st.s[k_month], st.c.s_empty, date)) return nullptr;
        if (!out.raw("&date=") || !out.value(st, date.get())) return nullptr;
        if (!get(payload, st.s[k_badges], badges)) return nullptr;
        int t = truthy_ref(badges);
        if (t < 0 || !out.raw("&badges=")) return nullptr;
        if (t && !joined(st, out, badges.get())) return nullptr;
        return out.finish();
    }
    if (str_eq(scenario, "traffic-source", 14)) {
        Ref asin, market, id, date;
        if (!get_or(payload, st.s[k_keywordOrAsin], st.c.s_empty, asin)) return nullptr;
        if (!out.raw("/v3/reversing/sources?asin=") || !out.value(st, asin.get())) return nullptr;
        if (!get(payload, st.s[k_market], market)) return nullptr;
        id = traffic_source_market_id(st, market ? market.get() : Py_None);
        if (!id || !out.raw("&marketId=") || !out.value(st, id.get())) return nullptr;
        if (!get_or(payload, st.s[k_month], st.c.s_empty, date)) return nullptr;
        if (!out.raw("&date=") || !out.value(st, date.get())) return nullptr;
        return out.finish();
    }
    const bool pathed = str_eq(scenario, "market-research", 15)    ? out.raw("/v2/market-research?")
                        : str_eq(scenario, "product-research", 16) ? out.raw("/v3/product-research?")
                                                                   : out.raw("/v3/competitor-lookup?");
    if (!pathed) return nullptr;
    if (!flattened(st, out, payload)) return nullptr;
    return out.finish();
}

}  // namespace

}  // namespace zk::payloads
