// The operations of the payloads module, shared by its source files. Each
// returns a new reference (or a truth value), or NULL / -1 with an exception.
#pragma once

#include "state.hpp"

namespace zk::payloads {

// coercion
PyObject* csv(State& st, PyObject* v);
PyObject* query_text(State& st, PyObject* v);
int order_desc(State& st, PyObject* v);
int truthy(State& st, PyObject* v, PyObject* deflt);  // deflt may be NULL (false)
PyObject* market(State& st, PyObject* input, PyObject* deflt);
PyObject* market_code(State& st, PyObject* v);  // upper-cased text form, station codes interned
PyObject* int_or(PyObject* v, PyObject* deflt);  // _int with an already integer default
PyObject* json_like_list(State& st, PyObject* list);
PyObject* flatten_query(State& st, PyObject* payload);

// markets and months
PyObject* market_id(State& st, PyObject* v);
PyObject* market_research_market_id(State& st, PyObject* v);
PyObject* station_from_market_id(State& st, PyObject* v);
PyObject* traffic_source_market(State& st, PyObject* v);
PyObject* traffic_source_market_id(State& st, PyObject* v);
PyObject* month_name(State& st, PyObject* v);
PyObject* history_date(State& st, PyObject* v);
bool init_markets(State& st);

// referers
PyObject* build_referer(State& st, PyObject* payload, PyObject* scenario);
bool init_referer(State& st);

// builders
PyObject* make_competitor_payload(State& st, PyObject* input);
PyObject* make_keyword_miner_payload(State& st, PyObject* input);
PyObject* make_keyword_reverse_payload(State& st, PyObject* input);
PyObject* make_traffic_source_payload(State& st, PyObject* input);
PyObject* make_product_research_payload(State& st, PyObject* input);
PyObject* make_market_research_payload(State& st, PyObject* input);
bool append_product_list_filters(State& st, PyObject* payload, PyObject* input);
bool append_product_range_filters(State& st, PyObject* payload, PyObject* input);
bool append_product_extra_filters(State& st, PyObject* payload, PyObject* input);
PyObject* normalize_product_research_input(State& st, PyObject* input);
PyObject* product_research_recommendation_preset(State& st, PyObject* input);
PyObject* preset_key(State& st, PyObject* value);
PyObject* new_release_num(State& st, PyObject* input);

// A small-integer object (cached by the interpreter for -5..256).
inline PyObject* small_int(long v) { return PyLong_FromLong(v); }

// Reads for builders: `get` of an option, and the fallback chains.
inline bool opt(State& st, PyObject* d, Str k, Ref& out) { return get(d, st.s[k], out); }

// Helpers of the builders.

// Sets key = value (a new reference, stolen) in the payload.
inline bool put(PyObject* payload, PyObject* key, PyObject* value) {
    if (!value) return false;
    int r = PyDict_SetItem(payload, key, value);
    Py_DECREF(value);
    return r == 0;
}

// The value a fallback chain yields as an argument: absent reads as none.
inline PyObject* arg(const Ref& r) { return r ? r.get() : Py_None; }


}  // namespace zk::payloads
