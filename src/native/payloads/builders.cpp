// The option-to-payload builders of the competitor lookup, keyword miner,
// keyword reverse and traffic source scenarios.
//
// Options are read leniently: alternative names in a fixed order, the first
// truthy value winning; conversion failures fall back to the row's default;
// no option value is ever rejected.
#include "payloads.hpp"

namespace zk::payloads {


PyObject* make_competitor_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref mkt = Ref::steal(market(st, in, s[k_DE]));
    if (!mkt) return nullptr;
    Ref month;
    if (!chain_or(in, {s[k_month], s[k_period]}, s[k_m202604], month)) return nullptr;

    Ref p = Ref::steal(PyDict_New());
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (PyDict_SetItem(d, s[k_market], mkt.get()) < 0) return nullptr;

    Ref v;
    if (!opt(st, in, k_monthName, v)) return nullptr;
    int t = truthy_ref(v);
    if (t < 0) return nullptr;
    if (!put(d, s[k_monthName], t ? v.release() : month_name(st, month.get()))) return nullptr;

    if (!opt(st, in, k_asins, v)) return nullptr;
    if (!put(d, s[k_asins], csv(st, arg(v)))) return nullptr;
    if (!put(d, s[k_page], int_chain(in, {s[k_page], s[k_startPage]}, 1))) return nullptr;
    if (first_truthy(in, {s[k_node], s[k_nodeIdPaths]}, v) < 0) return nullptr;
    if (!put(d, s[k_nodeIdPaths], csv(st, arg(v)))) return nullptr;
    if (PyDict_SetItem(d, s[k_symbolFlag], Py_False) < 0) return nullptr;
    if (!put(d, s[k_size], int_chain(in, {s[k_size], s[k_pageSize]}, 100))) return nullptr;

    Ref order = Ref::steal(PyDict_New());
    if (!order) return nullptr;
    if (!chain_or(in, {s[k_orderField]}, s[k_amz_unit], v)) return nullptr;
    if (PyDict_SetItem(order.get(), s[k_field], v.get()) < 0) return nullptr;
    if (!opt(st, in, k_orderDesc, v)) return nullptr;
    t = order_desc(st, arg(v));
    if (t < 0 || PyDict_SetItem(order.get(), s[k_desc], t ? Py_True : Py_False) < 0) return nullptr;
    if (PyDict_SetItem(d, s[k_order], order.get()) < 0) return nullptr;

    if (!chain_or(in, {s[k_lowPrice]}, s[k_N], v)) return nullptr;
    if (PyDict_SetItem(d, s[k_lowPrice], v.get()) < 0) return nullptr;

    if ((t = first_truthy(in, {s[k_keywords], s[k_keyword]}, v)) < 0 ||
        (t && PyDict_SetItem(d, s[k_keywords], v.get()) < 0))
        return nullptr;
    for (Str k : {k_brand, k_sellerName}) {
        if (!opt(st, in, k, v) || (t = truthy_ref(v)) < 0 || (t && PyDict_SetItem(d, s[k], v.get()) < 0))
            return nullptr;
    }
    return p.release();
}

// The month of the keyword-type interfaces, before history_date.
static bool keyword_month(State& st, PyObject* in, Ref& out) {
    PyObject* const* s = st.s;
    return chain_or(in, {s[k_historyDate], s[k_month], s[k_monthName]}, s[k_nearly], out);
}

static bool put_bool(PyObject* d, PyObject* key, int t) {
    return t >= 0 && PyDict_SetItem(d, key, t ? Py_True : Py_False) == 0;
}

// _int(option, default)
static PyObject* int_opt_or(State& st, PyObject* in, Str k, PyObject* deflt) {
    Ref v;
    if (!opt(st, in, k, v)) return nullptr;
    return int_or(v.get(), deflt);
}

static PyObject* int_opt(State& st, PyObject* in, Str k, long deflt) {
    Ref dv = Ref::steal(small_int(deflt));
    return dv ? int_opt_or(st, in, k, dv.get()) : nullptr;
}

// truthy(option) and truthy(option, default=True)
static int truthy_opt(State& st, PyObject* in, Str k, bool deflt = false) {
    Ref v;
    if (!opt(st, in, k, v)) return -1;
    return truthy(st, arg(v), deflt ? Py_True : Py_False);
}

static int order_desc_opt(State& st, PyObject* in, Str k) {
    Ref v;
    if (!opt(st, in, k, v)) return -1;
    return order_desc(st, arg(v));
}

static PyObject* csv_opt(State& st, PyObject* in, Str k) {
    Ref v;
    if (!opt(st, in, k, v)) return nullptr;
    return csv(st, arg(v));
}

PyObject* make_keyword_miner_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref month, v;
    if (!keyword_month(st, in, month)) return nullptr;
    Ref p = Ref::steal(PyDict_New());
    if (!p) return nullptr;
    PyObject* d = p.get();

    if (!chain_or(in, {s[k_keyword], s[k_q]}, s[k_flashlight], v) || PyDict_SetItem(d, s[k_keyword], v.get()) < 0)
        return nullptr;
    // A truthy marketId is only converted; otherwise the market code's id.
    if (!opt(st, in, k_marketId, v)) return nullptr;
    int t = truthy_ref(v);
    if (t < 0) return nullptr;
    if (!t) {
        Ref code = Ref::steal(market(st, in, s[k_JP]));
        if (!code) return nullptr;
        v = Ref::steal(market_id(st, code.get()));
        if (!v) return nullptr;
    }
    Ref six = Ref::steal(small_int(6));
    if (!put(d, s[k_market], int_or(v.get(), six.get()))) return nullptr;
    if (!put(d, s[k_pageNum], int_chain(in, {s[k_pageNum], s[k_page], s[k_startPage]}, 1))) return nullptr;
    if (!put(d, s[k_pageSize], int_chain(in, {s[k_pageSize], s[k_size]}, 100))) return nullptr;
    if (!put(d, s[k_historyDate], history_date(st, month.get()))) return nullptr;
    if (!put(d, s[k_orderBy], int_opt(st, in, k_orderBy, 5))) return nullptr;
    if (!put_bool(d, s[k_desc], order_desc_opt(st, in, k_desc))) return nullptr;
    // A present filterRootWord is converted; otherwise the two flags decide.
    if (!opt(st, in, k_filterRootWord, v)) return nullptr;
    if (v && v.get() != Py_None) {
        Ref zero = Ref::steal(small_int(0));
        if (!put(d, s[k_filterRootWord], int_or(v.get(), zero.get()))) return nullptr;
    } else {
        int flag = truthy_opt(st, in, k_rootWord);
        if (flag == 0) flag = truthy_opt(st, in, k_filterRootWordEnabled);
        if (flag < 0 || !put(d, s[k_filterRootWord], small_int(flag))) return nullptr;
    }
    if (!put(d, s[k_matchType], int_opt(st, in, k_matchType, 0))) return nullptr;
    if (!put_bool(d, s[k_amazonChoice], truthy_opt(st, in, k_amazonChoice))) return nullptr;
    if (!chain_or(in, {s[k_keywordBidMatchType]}, s[k_exact], v) ||
        PyDict_SetItem(d, s[k_keywordBidMatchType], v.get()) < 0)
        return nullptr;
    if (!put_bool(d, s[k_includeHighFrequency], truthy_opt(st, in, k_includeHighFrequency, true))) return nullptr;
    if (!put(d, s[k_groupNum], int_opt(st, in, k_groupNum, 1))) return nullptr;
    return p.release();
}

PyObject* make_keyword_reverse_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref limit = Ref::steal(int_chain(in, {s[k_limit], s[k_size], s[k_pageSize]}, 100));
    if (!limit) return nullptr;
    Ref page = Ref::steal(int_chain(in, {s[k_page], s[k_pageNum], s[k_startPage]}, 1));
    if (!page) return nullptr;
    // The offset of the first row of the page, neither clamped nor checked.
    Ref one = Ref::steal(small_int(1));
    Ref before = Ref::steal(one ? PyNumber_Subtract(page.get(), one.get()) : nullptr);
    Ref offset = Ref::steal(before ? PyNumber_Multiply(before.get(), limit.get()) : nullptr);
    if (!offset) return nullptr;
    Ref skip = Ref::steal(int_opt_or(st, in, k_skip, offset.get()));
    if (!skip) return nullptr;
    Ref month, v;
    if (!keyword_month(st, in, month)) return nullptr;
    Ref six = Ref::steal(small_int(6));
    if (!six || !chain_or(in, {s[k_marketId]}, six.get(), v)) return nullptr;
    Ref station = Ref::steal(station_from_market_id(st, v.get()));
    if (!station) return nullptr;
    Ref mkt = Ref::steal(market(st, in, station.get()));
    if (!mkt) return nullptr;

    Ref p = Ref::steal(PyDict_New());
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (!chain_or(in, {s[k_asin], s[k_q]}, s[k_B07YRMT36L], v) || PyDict_SetItem(d, s[k_asin], v.get()) < 0)
        return nullptr;
    if (PyDict_SetItem(d, s[k_market], mkt.get()) < 0 || PyDict_SetItem(d, s[k_limit], limit.get()) < 0 ||
        PyDict_SetItem(d, s[k_skip], skip.get()) < 0 || PyDict_SetItem(d, s[k_page], page.get()) < 0)
        return nullptr;
    if (!put(d, s[k_month], history_date(st, month.get()))) return nullptr;
    for (Str k : {k_badges, k_conversionKeywordTypes, k_trafficKeywordTypes})
        if (!put(d, s[k], csv_opt(st, in, k))) return nullptr;
    if (!put(d, s[k_order], int_opt(st, in, k_order, 12))) return nullptr;
    if (!put_bool(d, s[k_desc], order_desc_opt(st, in, k_desc))) return nullptr;
    if (!put_bool(d, s[k_exactly], truthy_opt(st, in, k_exactly))) return nullptr;
    if (!chain_or(in, {s[k_keywordBidMatchType]}, s[k_exact], v) ||
        PyDict_SetItem(d, s[k_keywordBidMatchType], v.get()) < 0)
        return nullptr;
    if (!put_bool(d, s[k_filterDeletedKeywords], truthy_opt(st, in, k_filterDeletedKeywords))) return nullptr;
    return p.release();
}

PyObject* make_traffic_source_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref month, v;
    if (!keyword_month(st, in, month)) return nullptr;
    Ref p = Ref::steal(PyDict_New());
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (first_truthy(in, {s[k_keywordOrAsin], s[k_keyword], s[k_asin], s[k_asins], s[k_q]}, v) < 0) return nullptr;
    if (!put(d, s[k_keywordOrAsin], query_text(st, arg(v)))) return nullptr;
    Ref code = Ref::steal(market(st, in, s[k_US]));
    if (!code || !put(d, s[k_market], traffic_source_market(st, code.get()))) return nullptr;
    if (!put(d, s[k_pageNo], int_chain(in, {s[k_pageNo], s[k_page], s[k_startPage]}, 1))) return nullptr;
    if (!put(d, s[k_pageSize], int_chain(in, {s[k_pageSize], s[k_size]}, 100))) return nullptr;
    if (!put(d, s[k_order], int_opt(st, in, k_order, 10))) return nullptr;
    if (!put_bool(d, s[k_desc], order_desc_opt(st, in, k_desc))) return nullptr;
    if (!put(d, s[k_month], history_date(st, month.get()))) return nullptr;
    return p.release();
}

}  // namespace zk::payloads
