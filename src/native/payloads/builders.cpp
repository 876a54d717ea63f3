// The option-to-payload builders of the competitor lookup, keyword miner,
// keyword reverse and traffic source scenarios.
//
// Options are read leniently: alternative names in a fixed order, the first
// truthy value winning; conversion failures fall back to the row's default;
// no option value is ever rejected.
#include "options.hpp"

namespace zk::payloads {


Ref make_competitor_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Options o(st, in);
    if (!o.scan()) return nullptr;
    Ref mkt = market_of(st, o, s[k_DE]);
    if (!mkt) return nullptr;
    Ref month;
    if (!chain_or(o, {k_month, k_period}, s[k_default_competitor_month], month)) return nullptr;

    Ref p = copy_template(st.tpl_competitor);
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (PyDict_SetItem(d, s[k_market], mkt.get()) < 0) return nullptr;

    Ref v;
    if (!o.get(k_monthName, v)) return nullptr;
    int t = truthy_ref(v);
    if (t < 0) return nullptr;
    if (!set_made(d, s[k_monthName], t ? std::move(v) : month_name(st, month.get()))) return nullptr;

    if (!o.get(k_asins, v)) return nullptr;
    if (!set_made(d, s[k_asins], csv(st, or_none(v)))) return nullptr;
    if (!put_made(d, s[k_page], int_chain(o, {k_page, k_startPage}, 1), st.ints[1])) return nullptr;
    if (o.first_truthy({k_node, k_nodeIdPaths}, v) < 0) return nullptr;
    if (!set_made(d, s[k_nodeIdPaths], csv(st, or_none(v)))) return nullptr;
    if (!put_made(d, s[k_size], int_chain(o, {k_size, k_pageSize}, 100), st.ints[100])) return nullptr;

    if (!put_order(st, o, d)) return nullptr;

    if (!chain_or(o, {k_lowPrice}, s[k_default_flag], v)) return nullptr;
    if (!put(d, s[k_lowPrice], v.get(), s[k_default_flag])) return nullptr;

    if ((t = o.first_truthy({k_keywords, k_keyword}, v)) < 0 ||
        (t && PyDict_SetItem(d, s[k_keywords], v.get()) < 0))
        return nullptr;
    for (Str k : {k_brand, k_sellerName}) {
        if (!o.get(k, v) || (t = truthy_ref(v)) < 0 || (t && PyDict_SetItem(d, s[k], v.get()) < 0))
            return nullptr;
    }
    return p;
}

// The month of the keyword-type interfaces, before history_date.
static bool keyword_month(State& st, Options& o, Ref& out) {
    PyObject* const* s = st.s;
    return chain_or(o, {k_historyDate, k_month, k_monthName}, s[k_default_month], out);
}

// The start of the keyword miner's and the traffic source's payloads: the
// options read, the month option, and the payload as a copy of `tpl`.
static Ref keyword_payload(State& st, Options& o, const Template& tpl, Ref& month) {
    if (!o.scan() || !keyword_month(st, o, month)) return nullptr;
    return copy_template(tpl);
}

// A truth value (-1: an error) as True or False, unless it is `kept`.
static bool put_bool(PyObject* d, PyObject* key, int t, PyObject* kept) {
    return t >= 0 && put(d, key, t ? Py_True : Py_False, kept);
}

// _int(option, default)
static Ref int_opt_or(Options& o, Str k, PyObject* deflt) {
    Ref v;
    if (!o.get(k, v)) return nullptr;
    return int_or(v.get(), deflt);
}

static Ref int_opt(Options& o, Str k, long deflt) {
    Ref v;
    if (!o.get(k, v)) return nullptr;
    return to_int_or(v.get(), deflt);
}

// truthy(option) and truthy(option, default=True)
static int truthy_opt(State& st, Options& o, Str k, bool deflt = false) {
    Ref v;
    if (!o.get(k, v)) return -1;
    return truthy(st, or_none(v), deflt ? Py_True : Py_False);
}

static int order_desc_opt(State& st, Options& o, Str k) {
    Ref v;
    if (!o.get(k, v)) return -1;
    return order_desc(st, or_none(v));
}

static Ref csv_opt(State& st, Options& o, Str k) {
    Ref v;
    if (!o.get(k, v)) return nullptr;
    return csv(st, or_none(v));
}

Ref make_keyword_miner_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Options o(st, in);
    Ref month, v;
    Ref p = keyword_payload(st, o, st.tpl_keyword_miner, month);
    if (!p) return nullptr;
    PyObject* d = p.get();

    if (!chain_or(o, {k_keyword, k_q}, s[k_default_miner_keyword], v) || !put(d, s[k_keyword], v.get(), s[k_default_miner_keyword]))
        return nullptr;
    // A truthy marketId is only converted; otherwise the market code's id.
    if (!market_id_or(st, o, s[k_JP], market_id, v)) return nullptr;
    if (!set_made(d, s[k_market], int_or(v.get(), st.ints[6]))) return nullptr;
    if (!put_made(d, s[k_pageNum], int_chain(o, {k_pageNum, k_page, k_startPage}, 1), st.ints[1])) return nullptr;
    if (!put_made(d, s[k_pageSize], int_chain(o, {k_pageSize, k_size}, 100), st.ints[100])) return nullptr;
    if (!set_made(d, s[k_historyDate], history_date(st, month.get()))) return nullptr;
    if (!put_made(d, s[k_orderBy], int_opt(o, k_orderBy, 5), st.ints[5])) return nullptr;
    if (!put_bool(d, s[k_desc], order_desc_opt(st, o, k_desc), Py_True)) return nullptr;
    // A present filterRootWord is converted; otherwise the two flags decide.
    if (!o.get(k_filterRootWord, v)) return nullptr;
    if (v && v.get() != Py_None) {
        if (!put_made(d, s[k_filterRootWord], int_or(v.get(), st.ints[0]), st.ints[0])) return nullptr;
    } else {
        int flag = truthy_opt(st, o, k_rootWord);
        if (flag == 0) flag = truthy_opt(st, o, k_filterRootWordEnabled);
        if (flag < 0 || !put(d, s[k_filterRootWord], st.ints[flag], st.ints[0])) return nullptr;
    }
    if (!put_made(d, s[k_matchType], int_opt(o, k_matchType, 0), st.ints[0])) return nullptr;
    if (!put_bool(d, s[k_amazonChoice], truthy_opt(st, o, k_amazonChoice), Py_False)) return nullptr;
    if (!chain_or(o, {k_keywordBidMatchType}, s[k_default_bid_match_type], v) ||
        !put(d, s[k_keywordBidMatchType], v.get(), s[k_default_bid_match_type]))
        return nullptr;
    if (!put_bool(d, s[k_includeHighFrequency], truthy_opt(st, o, k_includeHighFrequency, true), Py_True))
        return nullptr;
    if (!put_made(d, s[k_groupNum], int_opt(o, k_groupNum, 1), st.ints[1])) return nullptr;
    return p;
}

Ref make_keyword_reverse_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Options o(st, in);
    if (!o.scan()) return nullptr;
    Ref limit = int_chain(o, {k_limit, k_size, k_pageSize}, 100);
    if (!limit) return nullptr;
    Ref page = int_chain(o, {k_page, k_pageNum, k_startPage}, 1);
    if (!page) return nullptr;
    // The offset of the first row of the page, neither clamped nor checked.
    Ref before = Ref::steal(PyNumber_Subtract(page.get(), st.ints[1]));
    Ref offset = Ref::steal(before ? PyNumber_Multiply(before.get(), limit.get()) : nullptr);
    if (!offset) return nullptr;
    Ref skip = int_opt_or(o, k_skip, offset.get());
    if (!skip) return nullptr;
    Ref month, v;
    if (!keyword_month(st, o, month)) return nullptr;
    if (!chain_or(o, {k_marketId}, st.ints[6], v)) return nullptr;
    Ref station = station_from_market_id(st, v.get());
    if (!station) return nullptr;
    Ref mkt = market_of(st, o, station.get());
    if (!mkt) return nullptr;

    Ref p = copy_template(st.tpl_keyword_reverse);
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (!chain_or(o, {k_asin, k_q}, s[k_default_reverse_asin], v) || !put(d, s[k_asin], v.get(), s[k_default_reverse_asin]))
        return nullptr;
    if (PyDict_SetItem(d, s[k_market], mkt.get()) < 0 || !put(d, s[k_limit], limit.get(), st.ints[100]) ||
        !put(d, s[k_skip], skip.get(), st.ints[0]) || !put(d, s[k_page], page.get(), st.ints[1]))
        return nullptr;
    if (!set_made(d, s[k_month], history_date(st, month.get()))) return nullptr;
    for (Str k : {k_badges, k_conversionKeywordTypes, k_trafficKeywordTypes})
        if (!set_made(d, s[k], csv_opt(st, o, k))) return nullptr;
    if (!put_made(d, s[k_order], int_opt(o, k_order, 12), st.ints[12])) return nullptr;
    if (!put_bool(d, s[k_desc], order_desc_opt(st, o, k_desc), Py_True)) return nullptr;
    if (!put_bool(d, s[k_exactly], truthy_opt(st, o, k_exactly), Py_False)) return nullptr;
    if (!chain_or(o, {k_keywordBidMatchType}, s[k_default_bid_match_type], v) ||
        !put(d, s[k_keywordBidMatchType], v.get(), s[k_default_bid_match_type]))
        return nullptr;
    if (!put_bool(d, s[k_filterDeletedKeywords], truthy_opt(st, o, k_filterDeletedKeywords), Py_False))
        return nullptr;
    return p;
}

Ref make_traffic_source_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Options o(st, in);
    Ref month, v;
    Ref p = keyword_payload(st, o, st.tpl_traffic_source, month);
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (o.first_truthy({k_keywordOrAsin, k_keyword, k_asin, k_asins, k_q}, v) < 0) return nullptr;
    if (!put_made(d, s[k_keywordOrAsin], query_text(st, or_none(v)), st.c.s_empty)) return nullptr;
    Ref code = market_of(st, o, s[k_US]);
    if (!code || !set_made(d, s[k_market], traffic_source_market(st, code.get()))) return nullptr;
    if (!put_made(d, s[k_pageNo], int_chain(o, {k_pageNo, k_page, k_startPage}, 1), st.ints[1])) return nullptr;
    if (!put_made(d, s[k_pageSize], int_chain(o, {k_pageSize, k_size}, 100), st.ints[100])) return nullptr;
    if (!put_made(d, s[k_order], int_opt(o, k_order, 10), st.ints[10])) return nullptr;
    if (!put_bool(d, s[k_desc], order_desc_opt(st, o, k_desc), Py_True)) return nullptr;
    if (!set_made(d, s[k_month], history_date(st, month.get()))) return nullptr;
    return p;
}

}  // namespace zk::payloads
