// The payloads module: method table, argument checks and module state.
#include <new>

#include "common/function.hpp"
#include "common/module.hpp"
#include "payloads.hpp"
#include "tables.hpp"

namespace zk::payloads {

namespace {

#define ZK_FASTCALL(name) PyObject* fn_##name(void* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// The functions with rules of their own; every other one is described by its
// signature alone (below).

ZK_FASTCALL(truthy) {
    static constexpr auto sig = signature("truthy", pos("value"), kw_opt("default"));
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (a[0] == Py_None && !a[1]) Py_RETURN_FALSE;  // an absent option: the common call, answered here
    return to_result(truthy(state_of(m), a[0], a[1]));
}

ZK_FASTCALL(_market) {
    static constexpr auto sig = signature("_market", pos("input_data", Kind::dict), kw_opt("default", Kind::str));
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    State& st = state_of(m);
    return to_result(market(st, a[0], a[1] ? a[1] : st.s[k_DE]));
}

ZK_FASTCALL(_int) {
    (void)m;
    static constexpr auto sig = signature("_int", pos("value"), pos("default"));
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* deflt = a[1];
    if (PyLong_CheckExact(deflt)) return to_result(int_or(a[0], deflt));
    if (!PyBool_Check(deflt) && !PyFloat_CheckExact(deflt)) {
        kind_error(deflt, "default", "int");
        return nullptr;
    }
    Ref converted = to_int(deflt);
    if (!converted) return nullptr;
    return to_result(int_or(a[0], converted.get()));
}

// The signatures of the others.
constexpr auto value_sig(const char* name) { return signature(name, pos("value")); }
constexpr auto map_sig(const char* name) { return signature(name, pos("input_data", Kind::dict)); }
constexpr auto layer_sig(const char* name) {
    return signature(name, pos("payload", Kind::dict), pos("input_data", Kind::dict));
}

#define ZK_SIG(name, ...) constexpr auto sig_##name = __VA_ARGS__;
ZK_SIG(csv, value_sig("csv"))
ZK_SIG(_query_text, value_sig("_query_text"))
ZK_SIG(order_desc, value_sig("order_desc"))
ZK_SIG(market_id, value_sig("market_id"))
ZK_SIG(market_research_market_id, value_sig("market_research_market_id"))
ZK_SIG(station_from_market_id, value_sig("station_from_market_id"))
ZK_SIG(traffic_source_market, value_sig("traffic_source_market"))
ZK_SIG(traffic_source_market_id, value_sig("traffic_source_market_id"))
ZK_SIG(month_name, value_sig("month_name"))
ZK_SIG(history_date, value_sig("history_date"))
ZK_SIG(_preset_key, signature("_preset_key", pos("value", Kind::str)))
ZK_SIG(json_like_list, signature("json_like_list", pos("values", Kind::list)))
ZK_SIG(_flatten_query, signature("_flatten_query", pos("payload", Kind::dict)))
ZK_SIG(build_referer, signature("build_referer", pos("payload", Kind::dict), pos("scenario", Kind::str)))
ZK_SIG(make_competitor_payload, map_sig("make_competitor_payload"))
ZK_SIG(make_keyword_miner_payload, map_sig("make_keyword_miner_payload"))
ZK_SIG(make_keyword_reverse_payload, map_sig("make_keyword_reverse_payload"))
ZK_SIG(make_traffic_source_payload, map_sig("make_traffic_source_payload"))
ZK_SIG(make_product_research_payload, map_sig("make_product_research_payload"))
ZK_SIG(make_market_research_payload, map_sig("make_market_research_payload"))
ZK_SIG(normalize_product_research_input, map_sig("normalize_product_research_input"))
ZK_SIG(product_research_recommendation_preset, map_sig("product_research_recommendation_preset"))
ZK_SIG(new_release_num, map_sig("new_release_num"))
ZK_SIG(_append_product_list_filters, layer_sig("_append_product_list_filters"))
ZK_SIG(_append_product_range_filters, layer_sig("_append_product_range_filters"))
ZK_SIG(_append_product_extra_filters, layer_sig("_append_product_extra_filters"))
#undef ZK_SIG

// A function described by its signature, running `op`; one of the functions
// with rules of their own.
#define ZK_DEF(name, op, doc, ...) {#name, module_function<State, sig_##name, op>, doc, {__VA_ARGS__}}
#define ZK_OWN(name, doc, ...) {#name, ZK_ENTRY(fn_##name), doc, {__VA_ARGS__}}
#define ZK_ANY_TO(result) "value", "Any", "return", result
#define ZK_MAP_TO(result) "input_data", "dict[str, Any]", "return", result
#define ZK_LAYER "payload", "dict[str, Any]", "input_data", "dict[str, Any]", "return", "None"

const FunctionDef functions[] = {
    ZK_DEF(csv, csv, "csv($module, /, value)\n--\n\n", ZK_ANY_TO("list[str]")),
    ZK_DEF(_query_text, query_text, "_query_text($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(order_desc, order_desc, "order_desc($module, /, value)\n--\n\n", ZK_ANY_TO("bool")),
    ZK_OWN(truthy, "truthy($module, /, value, *, default=False)\n--\n\n", "value", "Any", "default", "Any", "return",
           "bool"),
    ZK_OWN(_market, "_market($module, /, input_data, *, default='DE')\n--\n\n", "input_data", "dict[str, Any]",
           "default", "str", "return", "str"),
    ZK_OWN(_int, "_int($module, /, value, default)\n--\n\n", "value", "Any", "default", "int | float", "return",
           "int"),
    ZK_DEF(json_like_list, json_like_list, "json_like_list($module, /, values)\n--\n\n", "values", "list[Any]", "return", "str"),
    ZK_DEF(_flatten_query, flatten_query, "_flatten_query($module, /, payload)\n--\n\n", "payload", "dict[str, Any]", "return",
           "dict[str, str]"),
    ZK_DEF(market_id, market_id, "market_id($module, /, value)\n--\n\n", ZK_ANY_TO("Any")),
    ZK_DEF(market_research_market_id, market_research_market_id, "market_research_market_id($module, /, value)\n--\n\n", ZK_ANY_TO("Any")),
    ZK_DEF(station_from_market_id, station_from_market_id, "station_from_market_id($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(traffic_source_market, traffic_source_market, "traffic_source_market($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(traffic_source_market_id, traffic_source_market_id, "traffic_source_market_id($module, /, value)\n--\n\n", ZK_ANY_TO("Any")),
    ZK_DEF(month_name, month_name, "month_name($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(history_date, history_date, "history_date($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(build_referer, build_referer, "build_referer($module, /, payload, scenario)\n--\n\n按场景构造 Web referer。", "payload",
           "dict[str, Any]", "scenario", "str", "return", "str"),
    ZK_DEF(make_competitor_payload, make_competitor_payload, "make_competitor_payload($module, /, input_data)\n--\n\n构造竞品查询 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_keyword_miner_payload, make_keyword_miner_payload,
           "make_keyword_miner_payload($module, /, input_data)\n--\n\n构造关键词挖掘 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_keyword_reverse_payload, make_keyword_reverse_payload,
           "make_keyword_reverse_payload($module, /, input_data)\n--\n\n构造关键词反查 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_traffic_source_payload, make_traffic_source_payload,
           "make_traffic_source_payload($module, /, input_data)\n--\n\n构造查流量来源 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_product_research_payload, make_product_research_payload,
           "make_product_research_payload($module, /, input_data)\n--\n\n构造选产品 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(_append_product_list_filters, append_product_list_filters, "_append_product_list_filters($module, /, payload, input_data)\n--\n\n",
           ZK_LAYER),
    ZK_DEF(_append_product_range_filters, append_product_range_filters, "_append_product_range_filters($module, /, payload, input_data)\n--\n\n",
           ZK_LAYER),
    ZK_DEF(_append_product_extra_filters, append_product_extra_filters, "_append_product_extra_filters($module, /, payload, input_data)\n--\n\n",
           ZK_LAYER),
    ZK_DEF(normalize_product_research_input, normalize_product_research_input,
           "normalize_product_research_input($module, /, input_data)\n--\n\n兼容 SellerSprite 官方开放 API 的选产品入参命名。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(product_research_recommendation_preset, product_research_recommendation_preset,
           "product_research_recommendation_preset($module, /, input_data)\n--\n\n解析选产品推荐模式并返回对应筛选参数。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(_preset_key, preset_key, "_preset_key($module, /, value)\n--\n\n", "value", "str", "return", "str"),
    ZK_DEF(new_release_num, new_release_num, "new_release_num($module, /, input_data)\n--\n\n解析新品定义月份数。", ZK_MAP_TO("int")),
    ZK_DEF(make_market_research_payload, make_market_research_payload,
           "make_market_research_payload($module, /, input_data)\n--\n\n构造选市场表单 payload。",
           ZK_MAP_TO("dict[str, Any]")),
};

// What the annotation texts name besides builtins.
const HintName hint_names[] = {{"Any", "typing"}};

int exec(PyObject* m) {
    static const char* const texts[] = {ZK_PAYLOAD_STRINGS(ZK_TEXT_OF)};
    State* made = start_state<State>(m, texts);
    if (!made) return -1;
    State& st = *made;
    // The texts are interned: templates hold them, and every payload copied
    // from one takes a reference to each. (An interned str is immortal on
    // 3.12+, so threads that copy templates at once do not contend for the
    // reference counts of these.)
    for (int i = 0; i < kIntTexts; ++i) {
        if (!(st.int_text[i] = PyUnicode_FromFormat("%d", i)) || !(st.ints[i] = PyLong_FromLong(i))) return -1;
        PyUnicode_InternInPlace(&st.int_text[i]);
    }
    if (!init_markets(st) || !init_referer(st) || !init_tables(st)) return -1;
    if (!st.functions.init(m, "zentrik.seller_sprite.api.payloads.zentrik_function", hint_names) ||
        !st.functions.add_to_module(m, functions, sizeof functions / sizeof functions[0]))
        return -1;
    // The exposed tables are copies of their own: changing them changes no payload.
    struct {
        const char* name;
        PyObject* (*build)();
    } exposed[] = {
        {"PRODUCT_RESEARCH_RECOMMENDATION_PRESETS", build_presets},
        {"PRODUCT_RESEARCH_RECOMMENDATION_ALIASES", build_aliases},
        {"PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES", build_official_aliases},
        {"MARKET_RESEARCH_HIDDEN_FIELDS", build_hidden_fields},
    };
    for (const auto& e : exposed) {
        PyObject* table = e.build();
        if (!table || PyModule_AddObject(m, e.name, table) < 0) {
            Py_XDECREF(table);
            return -1;
        }
    }
    return 0;
}

template <typename F>
void each_object(State& st, F&& f) {
    st.c.each(f);
    st.functions.each(f);
    for (auto& p : st.s) f(p);
    for (int i = 0; i < kStations; ++i) {
        f(st.station[i]);
        f(st.market_id[i]);
        f(st.mr_market_id[i]);
        f(st.ts_market[i]);
    }
    f(st.presets);
    f(st.aliases);
    f(st.month_table);
    for (auto& p : st.slot_name) f(p);
    f(st.slot_index);
    f(st.keyword_miner_referer);
    for (auto& p : st.int_text) f(p);
    for (auto& p : st.ints) f(p);
#if ZK_FREE_THREADED
    f(st.memos_key);
#else
    st.memos.each(f);
#endif
    for (Template* t : {&st.tpl_competitor, &st.tpl_keyword_miner, &st.tpl_keyword_reverse, &st.tpl_traffic_source,
                        &st.tpl_product_research, &st.tpl_market_research, &st.tpl_order})
        for (PyObject*& copy : t->copy) f(copy);
}

ZK_MODULE_DEFINITION(State, "zentrik.seller_sprite.api.payloads",
                     "卖家精灵场景 payload 构造。",
                     nullptr)

}  // namespace

}  // namespace zk::payloads

PyMODINIT_FUNC PyInit_payloads(void) { return PyModuleDef_Init(&zk::payloads::def); }
