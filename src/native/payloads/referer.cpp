// Web referers: the address of the service's web page on which the same
// query would be made, with the payload form-encoded into its query.
#include <string>

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

// The referer under construction: plain ASCII.
class Out {
public:
    Out() { buf_.reserve(512); }
    void raw(const char* s) { buf_ += s; }
    void raw(char c) { buf_ += c; }

    // Form-encodes UTF-8 bytes.
    void bytes(const char* p, Py_ssize_t n) {
        static constexpr char hex[] = "0123456789ABCDEF";
        for (Py_ssize_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(p[i]);
            if (kSafe.safe[c]) {
                buf_ += char(c);
            } else if (c == ' ') {
                buf_ += '+';
            } else {
                buf_ += '%';
                buf_ += hex[c >> 4];
                buf_ += hex[c & 15];
            }
        }
    }

    // Form-encodes a str (lone surrogates fail as the UTF-8 codec does).
    bool text(PyObject* s) {
        if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) {
            bytes(static_cast<const char*>(PyUnicode_DATA(s)), PyUnicode_GET_LENGTH(s));
            return true;
        }
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        if (!p) return false;
        bytes(p, n);
        return true;
    }

    // Form-encodes the text form of a value.
    bool value(State& st, PyObject* v) {
        if (PyUnicode_CheckExact(v)) return text(v);
        Ref t = Ref::steal(text_form(st.c, v));
        return t && text(t.get());
    }

    PyObject* finish() const {
        PyObject* out = PyUnicode_New(Py_ssize_t(buf_.size()), 127);
        if (out) std::memcpy(PyUnicode_DATA(out), buf_.data(), buf_.size());
        return out;
    }

private:
    std::string buf_;
};

// key=value, with "&" before every entry but the first.
bool entry(State& st, Out& out, bool& first, PyObject* key, PyObject* value) {
    if (!first) out.raw('&');
    first = false;
    if (!out.value(st, key)) return false;
    out.raw('=');
    return out.value(st, value);
}

// Can the payload be encoded in one pass? Only when no two flattened keys can
// coincide: every key, nested ones included, an exact str without "[", and
// every nested map an exact dict (a subclass may keep an order of its own).
bool simple_keys(PyObject* payload) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    auto plain = [](PyObject* key) {
        if (!PyUnicode_CheckExact(key) || !ZK_READY(key)) return false;
        return PyUnicode_FindChar(key, '[', 0, PyUnicode_GET_LENGTH(key), 1) == -1;
    };
    while (PyDict_Next(payload, &pos, &k, &v)) {
        if (!plain(k)) return false;
        if (PyDict_Check(v)) {
            if (!PyDict_CheckExact(v)) return false;
            Py_ssize_t cpos = 0;
            PyObject *ck, *cv;
            while (PyDict_Next(v, &cpos, &ck, &cv))
                if (!plain(ck)) return false;
        }
    }
    return true;
}

bool changed(PyObject* d, Py_ssize_t size0) {
    if (PyDict_GET_SIZE(d) == size0) return false;
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return true;
}

// The flattened payload, form-encoded: lists as their bracketed array text,
// maps as key[child] entries, none left out.
bool flattened(State& st, Out& out, PyObject* payload) {
    bool first = true;
    if (!simple_keys(payload)) {
        Ref flat = Ref::steal(flatten_query(st, payload));
        if (!flat) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(flat.get(), &pos, &k, &v))
            if (!entry(st, out, first, k, v)) return false;
        return true;
    }
    const Py_ssize_t size0 = PyDict_GET_SIZE(payload);
    Py_ssize_t pos = 0;
    PyObject *k0, *v0;
    while (PyDict_Next(payload, &pos, &k0, &v0)) {
        Ref key = Ref::borrow(k0), value = Ref::borrow(v0);
        PyObject* v = value.get();
        if (v == Py_None) continue;
        if (PyDict_Check(v)) {
            const Py_ssize_t csize0 = PyDict_GET_SIZE(v);
            Py_ssize_t cpos = 0;
            PyObject *ck0, *cv0;
            while (PyDict_Next(v, &cpos, &ck0, &cv0)) {
                Ref ck = Ref::borrow(ck0), cv = Ref::borrow(cv0);
                if (!first) out.raw('&');
                first = false;
                if (!out.text(key.get())) return false;
                out.raw("%5B");
                if (!out.text(ck.get())) return false;
                out.raw("%5D=");
                if (!out.value(st, cv.get()) || changed(v, csize0)) return false;
            }
        } else if (PyList_Check(v)) {
            if (!first) out.raw('&');
            first = false;
            if (!out.text(key.get())) return false;
            out.raw('=');
            if (PyList_GET_SIZE(v) == 0) {
                out.raw("%5B%5D");
            } else {
                out.raw("%5B");
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                    Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
                    out.raw(i == 0 ? "%22" : "%22%2C%22");
                    if (!out.value(st, item.get())) return false;
                }
                out.raw("%22%5D");
            }
        } else {
            if (!entry(st, out, first, key.get(), v)) return false;
        }
        if (changed(payload, size0)) return false;
    }
    return true;
}

// The fallback chain get(key) or fallback, as a strong reference.
bool get_or(PyObject* payload, PyObject* key, PyObject* fallback, Ref& out) {
    if (!get(payload, key, out)) return false;
    int t = truthy_ref(out);
    if (t < 0) return false;
    if (!t) out = Ref::borrow(fallback);
    return true;
}

}  // namespace

bool init_referer(State& st) {
    std::string page = std::string(kOrigin) + "/v3/keyword-miner/";
    st.keyword_miner_referer = PyUnicode_FromStringAndSize(page.data(), Py_ssize_t(page.size()));
    return st.keyword_miner_referer != nullptr;
}

PyObject* build_referer(State& st, PyObject* payload, PyObject* scenario) {
    if (str_eq(scenario, "keyword-miner", 13)) return new_ref(st.keyword_miner_referer);
    Out out;
    out.raw(kOrigin);
    if (str_eq(scenario, "keyword-reverse", 15)) {
        out.raw("/v3/keyword-reverse/?");
        Ref q, market, id, date, badges, joined;
        if (!get_or(payload, st.s[k_asin], st.c.s_empty, q)) return nullptr;
        bool first = true;
        if (!entry(st, out, first, st.s[k_q], q.get())) return nullptr;
        if (!get_or(payload, st.s[k_market], st.s[k_JP], market)) return nullptr;
        id = Ref::steal(market_id(st, market.get()));
        if (!id || !entry(st, out, first, st.s[k_marketId], id.get())) return nullptr;
        if (!get_or(payload, st.s[k_month], st.c.s_empty, date)) return nullptr;
        if (!entry(st, out, first, st.s[k_date_key], date.get())) return nullptr;
        if (!get(payload, st.s[k_badges], badges)) return nullptr;
        int t = truthy_ref(badges);
        if (t < 0) return nullptr;
        joined = t ? Ref::steal(PyUnicode_Join(st.s[k_comma], badges.get())) : Ref::borrow(st.c.s_empty);
        if (!joined || !entry(st, out, first, st.s[k_badges], joined.get())) return nullptr;
        return out.finish();
    }
    if (str_eq(scenario, "traffic-source", 14)) {
        out.raw("/v3/reversing/sources?");
        Ref asin, market, id, date;
        bool first = true;
        if (!get_or(payload, st.s[k_keywordOrAsin], st.c.s_empty, asin)) return nullptr;
        if (!entry(st, out, first, st.s[k_asin], asin.get())) return nullptr;
        if (!get(payload, st.s[k_market], market)) return nullptr;
        id = Ref::steal(traffic_source_market_id(st, market ? market.get() : Py_None));
        if (!id || !entry(st, out, first, st.s[k_marketId], id.get())) return nullptr;
        if (!get_or(payload, st.s[k_month], st.c.s_empty, date)) return nullptr;
        if (!entry(st, out, first, st.s[k_date_key], date.get())) return nullptr;
        return out.finish();
    }
    if (str_eq(scenario, "market-research", 15)) {
        out.raw("/v2/market-research?");
    } else if (str_eq(scenario, "product-research", 16)) {
        out.raw("/v3/product-research?");
    } else {
        out.raw("/v3/competitor-lookup?");
    }
    if (!flattened(st, out, payload)) return nullptr;
    return out.finish();
}

}  // namespace zk::payloads
