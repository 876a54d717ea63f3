// The operations of the payloads module, shared by its source files. What
// one makes comes back as a Ref (empty: an exception is set); truth values
// are 1, 0, or -1 with an exception.
#pragma once

#include "state.hpp"

namespace zk::payloads {

// coercion
Ref csv(State& st, PyObject* v);
Ref query_text(State& st, PyObject* v);
int order_desc(State& st, PyObject* v);
int truthy(State& st, PyObject* v, PyObject* deflt);  // deflt may be NULL (false)
Ref market(State& st, PyObject* input, PyObject* deflt);
Ref market_code(State& st, PyObject* v);  // upper-cased text form, station codes interned
Ref int_or(PyObject* v, PyObject* deflt);  // _int with an already integer default
Ref json_like_list(State& st, PyObject* list);
Ref flatten_query(State& st, PyObject* payload);

// markets and months
Ref market_id(State& st, PyObject* v);
Ref market_research_market_id(State& st, PyObject* v);
Ref station_from_market_id(State& st, PyObject* v);
Ref traffic_source_market(State& st, PyObject* v);
Ref traffic_source_market_id(State& st, PyObject* v);
Ref month_name(State& st, PyObject* v);
Ref history_date(State& st, PyObject* v);
bool init_markets(State& st);

// referers
Ref build_referer(State& st, PyObject* payload, PyObject* scenario);
bool init_referer(State& st);

// builders
Ref make_competitor_payload(State& st, PyObject* input);
Ref make_keyword_miner_payload(State& st, PyObject* input);
Ref make_keyword_reverse_payload(State& st, PyObject* input);
Ref make_traffic_source_payload(State& st, PyObject* input);
Ref make_product_research_payload(State& st, PyObject* input);
Ref make_market_research_payload(State& st, PyObject* input);
bool append_product_list_filters(State& st, PyObject* payload, PyObject* input);
bool append_product_range_filters(State& st, PyObject* payload, PyObject* input);
bool append_product_extra_filters(State& st, PyObject* payload, PyObject* input);
Ref normalize_product_research_input(State& st, PyObject* input);
Ref product_research_recommendation_preset(State& st, PyObject* input);
Ref preset_key(State& st, PyObject* value);
Ref new_release_num(State& st, PyObject* input);

// Sets `key` to a value just made (false when making it failed, or when
// setting fails).
inline bool set_made(PyObject* payload, PyObject* key, Ref made) {
    return made && PyDict_SetItem(payload, key, made.get()) == 0;
}

// Sets `key` to `value` unless it is `kept`, the value the payload's
// template holds there: what the builder makes when the option is absent
// (the template is made with the same value), so a default costs no store.
inline bool put(PyObject* payload, PyObject* key, PyObject* value, PyObject* kept) {
    return value == kept || PyDict_SetItem(payload, key, value) == 0;
}
inline bool put_made(PyObject* payload, PyObject* key, Ref made, PyObject* kept) {
    return made && put(payload, key, made.get(), kept);
}

// What a fallback chain read, as an argument: none when absent.
inline PyObject* or_none(const Ref& r) { return r ? r.get() : Py_None; }


}  // namespace zk::payloads
