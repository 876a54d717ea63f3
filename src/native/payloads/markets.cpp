// Markets, stations and months: the conversions between the service's
// station codes, market ids, traffic-source markets and month forms.
#include "payloads.hpp"

namespace zk::payloads {

namespace {

struct StationRow {
    const char* code;
    long id;
    long research_id;
    const char* traffic;
};

constexpr StationRow kStationRows[kStations] = {
    {"US", 1, 1, "COM"},       {"UK", 3, 3, "UK"},   {"DE", 4, 4, "DE"},       {"FR", 5, 5, "FR"},
    {"JP", 6, 6, "JP"},        {"CA", 7, 7, "CA"},   {"IT", 8, 35691, "IT"},   {"ES", 9, 44551, "ES"},
    {"IN", 10, 44571, "IN"},   {"MX", 11, 771770, "MX"},
};

// Index of the station whose code is the upper-cased text form of (v or "");
// -1 when none is, -2 on error. `com` also accepts "COM" (as index 0, the
// United States) for the traffic-source id table.
int station_index(State& st, PyObject* v, bool com) {
    PyTypeObject* t = Py_TYPE(v);
    // The text forms of none, booleans, integers, floats, lists and dicts are
    // never a station code; falsy values read as the empty text.
    if (t == &PyLong_Type || t == &PyBool_Type || t == &PyFloat_Type || v == Py_None || t == &PyList_Type ||
        t == &PyDict_Type)
        return -1;
    Ref key;
    PyObject* s = v;
    if (!(t == &PyUnicode_Type && PyUnicode_IS_ASCII(v))) {
        int tr = truth(v);
        if (tr < 0) return -2;
        if (!tr) return -1;
        key = upper_text(st.c, v);
        if (!key) return -2;
        s = key.get();
        if (!PyUnicode_Check(s) || !ZK_READY(s) || !PyUnicode_IS_ASCII(s)) return -1;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const char* p = static_cast<const char*>(PyUnicode_DATA(s));
    auto up = [](char ch) { return (ch >= 'a' && ch <= 'z') ? char(ch ^ 0x20) : ch; };
    if (n == 2) {
        const char a = up(p[0]), b = up(p[1]);
        for (int i = 0; i < kStations; ++i)
            if (kStationRows[i].code[0] == a && kStationRows[i].code[1] == b) return i;
    } else if (n == 3 && com && up(p[0]) == 'C' && up(p[1]) == 'O' && up(p[2]) == 'M') {
        return 0;
    }
    return -1;
}

Ref id_or_value(State& st, PyObject* v, PyObject* const* ids, bool com) {
    int i = station_index(st, v, com);
    if (i == -2) return nullptr;
    return Ref::borrow(i >= 0 ? ids[i] : v);
}

// Text with every occurrence of an ASCII needle removed.
Ref remove_all(PyObject* text, PyObject* needle, PyObject* empty) {
    return Ref::steal(PyUnicode_Replace(text, needle, empty, -1));
}

bool is_month_word(PyObject* s) {
    return str_eq(s, "30d", 3) || str_eq(s, "nearly", 6) || str_eq(s, "latest30", 8) || str_eq(s, "last30", 6);
}

bool starts_with(PyObject* s, const char* prefix, Py_ssize_t len) {
    if (PyUnicode_GET_LENGTH(s) < len) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < len; ++i)
        if (PyUnicode_READ(kind, data, i) != Py_UCS4(static_cast<unsigned char>(prefix[i]))) return false;
    return true;
}

// prefix + text with every "-" removed, in one allocation for ASCII text.
Ref prefixed_without_dashes(State& st, const char* prefix, Py_ssize_t plen, PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const char* src = static_cast<const char*>(PyUnicode_DATA(text));
        Py_ssize_t dashes = 0;
        for (Py_ssize_t i = 0; i < n; ++i) dashes += src[i] == '-';
        if (plen == 0 && dashes == 0 && PyUnicode_CheckExact(text)) return Ref::borrow(text);
        PyObject* out = PyUnicode_New(plen + n - dashes, 127);
        if (!out) return nullptr;
        char* dst = static_cast<char*>(PyUnicode_DATA(out));
        std::memcpy(dst, prefix, size_t(plen));
        Py_ssize_t w = plen;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (src[i] != '-') dst[w++] = src[i];
        return Ref::steal(out);
    }
    Ref dash = Ref::steal(PyUnicode_FromStringAndSize("-", 1));
    if (!dash) return nullptr;
    Ref stripped = remove_all(text, dash.get(), st.c.s_empty);
    if (!stripped) return nullptr;
    if (plen == 0) return stripped;
    Ref pre = Ref::steal(PyUnicode_FromStringAndSize(prefix, plen));
    if (!pre) return nullptr;
    return Ref::steal(PyUnicode_Concat(pre.get(), stripped.get()));
}

// month_name and history_date, made afresh.
Ref month_text(State& st, PyObject* v);
Ref history_text(State& st, PyObject* v);

}  // namespace

bool init_markets(State& st) {
    for (int i = 0; i < kStations; ++i) {
        const StationRow& r = kStationRows[i];
        if (!(st.station[i] = PyUnicode_InternFromString(r.code))) return false;
        if (!(st.market_id[i] = PyLong_FromLong(r.id))) return false;
        if (!(st.mr_market_id[i] = PyLong_FromLong(r.research_id))) return false;
        if (!(st.ts_market[i] = PyUnicode_InternFromString(r.traffic))) return false;
    }
    return true;
}

Ref market_id(State& st, PyObject* v) { return id_or_value(st, v, st.market_id, false); }

Ref market_research_market_id(State& st, PyObject* v) { return id_or_value(st, v, st.mr_market_id, false); }

Ref traffic_source_market_id(State& st, PyObject* v) { return id_or_value(st, v, st.market_id, true); }

Ref traffic_source_market(State& st, PyObject* v) {
    int i = station_index(st, v, false);
    if (i == -2) return nullptr;
    if (i >= 0) return Ref::borrow(st.ts_market[i]);
    int t = truth(v);
    if (t < 0) return nullptr;
    if (!t) return Ref::borrow(st.s[k_COM]);
    return upper_text(st.c, v);
}

Ref station_from_market_id(State& st, PyObject* v) {
    Ref id = int_or(v, st.ints[6]);
    if (!id) return nullptr;
    int overflow;
    long x = PyLong_AsLongAndOverflow(id.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return nullptr;
    if (!overflow) {
        for (int i = 0; i < kStations; ++i)
            if (PyLong_AsLong(st.market_id[i]) == x) return Ref::borrow(st.station[i]);
    }
    return text_form(st.c, v);
}

Ref month_name(State& st, PyObject* v) {
    return through(st, &Memos::month, v, [&st](PyObject* x) { return month_text(st, x); });
}

Ref history_date(State& st, PyObject* v) {
    return through(st, &Memos::history, v, [&st](PyObject* x) { return history_text(st, x); });
}

namespace {

Ref month_text(State& st, PyObject* v) {
    Ref text = text_form(st.c, v);
    if (!text) return nullptr;
    PyObject* s = text.get();
    if (!ZK_READY(s)) return nullptr;
    if (is_month_word(s)) return Ref::borrow(st.s[k_bsr_sales_nearly]);
    if (starts_with(s, "bsr_sales_", 10)) return text;
    return prefixed_without_dashes(st, "bsr_sales_monthly_", 18, s);
}

Ref history_text(State& st, PyObject* v) {
    int t = truth(v);
    if (t < 0) return nullptr;
    if (!t) return Ref::borrow(st.c.s_empty);
    Ref text = text_form(st.c, v);
    if (!text) return nullptr;
    PyObject* s = text.get();
    if (!ZK_READY(s)) return nullptr;
    if (PyUnicode_GET_LENGTH(s) == 0 || is_month_word(s) || str_eq(s, "bsr_sales_nearly", 16))
        return Ref::borrow(st.c.s_empty);
    if (starts_with(s, "bsr_sales_monthly_", 18)) {
        Ref prefix = Ref::steal(PyUnicode_FromStringAndSize("bsr_sales_monthly_", 18));
        if (!prefix) return nullptr;
        return remove_all(s, prefix.get(), st.c.s_empty);
    }
    return prefixed_without_dashes(st, "", 0, s);
}

}  // namespace

}  // namespace zk::payloads
