// The payloads module: method table, argument checks and module state.
#include <new>

#include "common/function.hpp"
#include "common/module.hpp"
#include "payloads.hpp"
#include "tables.hpp"

namespace zk::payloads {

namespace {

#define ZK_FASTCALL(name) PyObject* fn_##name(void* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// One positional-or-keyword argument of any kind.
#define ZK_UNARY(name, param, call)                                  \
    ZK_FASTCALL(name) {                                              \
        static constexpr Signature<1> sig{#name, {pos(param)}};      \
        PyObject* a[1];                                              \
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr; \
        State& st = state_of(m);                                     \
        return call;                                                 \
    }

// One map argument named input_data.
#define ZK_BUILDER(name, call)                                       \
    ZK_FASTCALL(name) {                                              \
        static constexpr Signature<1> sig{#name, {pos("input_data")}}; \
        PyObject* a[1];                                              \
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr; \
        if (!expect_dict(a[0], "input_data")) return nullptr;        \
        State& st = state_of(m);                                     \
        return call;                                                 \
    }

inline PyObject* boolean(int t) {
    if (t < 0) return nullptr;
    return new_ref(t ? Py_True : Py_False);
}

ZK_UNARY(csv, "value", csv(st, a[0]))
ZK_UNARY(_query_text, "value", query_text(st, a[0]))
ZK_UNARY(order_desc, "value", boolean(order_desc(st, a[0])))
ZK_UNARY(market_id, "value", market_id(st, a[0]))
ZK_UNARY(market_research_market_id, "value", market_research_market_id(st, a[0]))
ZK_UNARY(station_from_market_id, "value", station_from_market_id(st, a[0]))
ZK_UNARY(traffic_source_market, "value", traffic_source_market(st, a[0]))
ZK_UNARY(traffic_source_market_id, "value", traffic_source_market_id(st, a[0]))
ZK_UNARY(month_name, "value", month_name(st, a[0]))
ZK_UNARY(history_date, "value", history_date(st, a[0]))
ZK_BUILDER(make_competitor_payload, make_competitor_payload(st, a[0]))
ZK_BUILDER(make_keyword_miner_payload, make_keyword_miner_payload(st, a[0]))
ZK_BUILDER(make_keyword_reverse_payload, make_keyword_reverse_payload(st, a[0]))
ZK_BUILDER(make_traffic_source_payload, make_traffic_source_payload(st, a[0]))
ZK_BUILDER(make_product_research_payload, make_product_research_payload(st, a[0]))
ZK_BUILDER(make_market_research_payload, make_market_research_payload(st, a[0]))
ZK_BUILDER(normalize_product_research_input, normalize_product_research_input(st, a[0]))
ZK_BUILDER(product_research_recommendation_preset, product_research_recommendation_preset(st, a[0]))
ZK_BUILDER(new_release_num, new_release_num(st, a[0]))

// The three filter layers of product research: (payload, input_data), both
// maps, payload checked first; they change payload in place.
#define ZK_APPEND(name, call)                                                        \
    ZK_FASTCALL(name) {                                                              \
        static constexpr Signature<2> sig{#name, {pos("payload"), pos("input_data")}}; \
        PyObject* a[2];                                                              \
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;               \
        if (!expect_dict(a[0], "payload") || !expect_dict(a[1], "input_data")) return nullptr; \
        if (!call(state_of(m), a[0], a[1])) return nullptr;                          \
        Py_RETURN_NONE;                                                              \
    }

ZK_APPEND(_append_product_list_filters, append_product_list_filters)
ZK_APPEND(_append_product_range_filters, append_product_range_filters)
ZK_APPEND(_append_product_extra_filters, append_product_extra_filters)

ZK_FASTCALL(_preset_key) {
    static constexpr Signature<1> sig{"_preset_key", {pos("value")}};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_str(a[0], "value")) return nullptr;
    return preset_key(state_of(m), a[0]);
}

ZK_FASTCALL(truthy) {
    static constexpr Signature<2> sig{"truthy", {pos("value"), kw_opt("default")}};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (a[0] == Py_None && !a[1]) Py_RETURN_FALSE;  // an absent option: the common call, answered here
    return boolean(truthy(state_of(m), a[0], a[1]));
}

ZK_FASTCALL(_market) {
    static constexpr Signature<2> sig{"_market", {pos("input_data"), kw_opt("default")}};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_dict(a[0], "input_data")) return nullptr;
    State& st = state_of(m);
    if (a[1] && !expect_str(a[1], "default")) return nullptr;
    return market(st, a[0], a[1] ? a[1] : st.s[k_DE]);
}

ZK_FASTCALL(_int) {
    (void)m;
    static constexpr Signature<2> sig{"_int", {pos("value"), pos("default")}};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* deflt = a[1];
    if (PyLong_CheckExact(deflt)) return int_or(a[0], deflt);
    if (!PyBool_Check(deflt) && !PyFloat_CheckExact(deflt)) {
        kind_error(deflt, "default", "int");
        return nullptr;
    }
    Ref converted = Ref::steal(to_int(deflt));
    if (!converted) return nullptr;
    return int_or(a[0], converted.get());
}

ZK_FASTCALL(json_like_list) {
    static constexpr Signature<1> sig{"json_like_list", {pos("values")}};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_list(a[0], "values")) return nullptr;
    return json_like_list(state_of(m), a[0]);
}

ZK_FASTCALL(_flatten_query) {
    static constexpr Signature<1> sig{"_flatten_query", {pos("payload")}};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_dict(a[0], "payload")) return nullptr;
    return flatten_query(state_of(m), a[0]);
}

ZK_FASTCALL(build_referer) {
    static constexpr Signature<2> sig{"build_referer", {pos("payload"), pos("scenario")}};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_dict(a[0], "payload") || !expect_str(a[1], "scenario")) return nullptr;
    return build_referer(state_of(m), a[0], a[1]);
}

#define ZK_DEF(name, doc, ...) {#name, ZK_ENTRY(fn_##name), doc, {__VA_ARGS__}}
#define ZK_ANY_TO(result) "value", "Any", "return", result
#define ZK_MAP_TO(result) "input_data", "dict[str, Any]", "return", result
#define ZK_LAYER "payload", "dict[str, Any]", "input_data", "dict[str, Any]", "return", "None"

const FunctionDef functions[] = {
    ZK_DEF(csv, "csv($module, /, value)\n--\n\n", ZK_ANY_TO("list[str]")),
    ZK_DEF(_query_text, "_query_text($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(order_desc, "order_desc($module, /, value)\n--\n\n", ZK_ANY_TO("bool")),
    ZK_DEF(truthy, "truthy($module, /, value, *, default=False)\n--\n\n", "value", "Any", "default", "Any", "return",
           "bool"),
    ZK_DEF(_market, "_market($module, /, input_data, *, default='DE')\n--\n\n", "input_data", "dict[str, Any]",
           "default", "str", "return", "str"),
    ZK_DEF(_int, "_int($module, /, value, default)\n--\n\n", "value", "Any", "default", "int | float", "return",
           "int"),
    ZK_DEF(json_like_list, "json_like_list($module, /, values)\n--\n\n", "values", "list[Any]", "return", "str"),
    ZK_DEF(_flatten_query, "_flatten_query($module, /, payload)\n--\n\n", "payload", "dict[str, Any]", "return",
           "dict[str, str]"),
    ZK_DEF(market_id, "market_id($module, /, value)\n--\n\n", ZK_ANY_TO("Any")),
    ZK_DEF(market_research_market_id, "market_research_market_id($module, /, value)\n--\n\n", ZK_ANY_TO("Any")),
    ZK_DEF(station_from_market_id, "station_from_market_id($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(traffic_source_market, "traffic_source_market($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(traffic_source_market_id, "traffic_source_market_id($module, /, value)\n--\n\n", ZK_ANY_TO("Any")),
    ZK_DEF(month_name, "month_name($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(history_date, "history_date($module, /, value)\n--\n\n", ZK_ANY_TO("str")),
    ZK_DEF(build_referer, "build_referer($module, /, payload, scenario)\n--\n\n按场景构造 Web referer。", "payload",
           "dict[str, Any]", "scenario", "str", "return", "str"),
    ZK_DEF(make_competitor_payload, "make_competitor_payload($module, /, input_data)\n--\n\n构造竞品查询 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_keyword_miner_payload,
           "make_keyword_miner_payload($module, /, input_data)\n--\n\n构造关键词挖掘 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_keyword_reverse_payload,
           "make_keyword_reverse_payload($module, /, input_data)\n--\n\n构造关键词反查 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_traffic_source_payload,
           "make_traffic_source_payload($module, /, input_data)\n--\n\n构造查流量来源 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(make_product_research_payload,
           "make_product_research_payload($module, /, input_data)\n--\n\n构造选产品 payload。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(_append_product_list_filters, "_append_product_list_filters($module, /, payload, input_data)\n--\n\n",
           ZK_LAYER),
    ZK_DEF(_append_product_range_filters, "_append_product_range_filters($module, /, payload, input_data)\n--\n\n",
           ZK_LAYER),
    ZK_DEF(_append_product_extra_filters, "_append_product_extra_filters($module, /, payload, input_data)\n--\n\n",
           ZK_LAYER),
    ZK_DEF(normalize_product_research_input,
           "normalize_product_research_input($module, /, input_data)\n--\n\n兼容 SellerSprite 官方开放 API 的选产品入参命名。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(product_research_recommendation_preset,
           "product_research_recommendation_preset($module, /, input_data)\n--\n\n解析选产品推荐模式并返回对应筛选参数。",
           ZK_MAP_TO("dict[str, Any]")),
    ZK_DEF(_preset_key, "_preset_key($module, /, value)\n--\n\n", "value", "str", "return", "str"),
    ZK_DEF(new_release_num, "new_release_num($module, /, input_data)\n--\n\n解析新品定义月份数。", ZK_MAP_TO("int")),
    ZK_DEF(make_market_research_payload,
           "make_market_research_payload($module, /, input_data)\n--\n\n构造选市场表单 payload。",
           ZK_MAP_TO("dict[str, Any]")),
};

// What the annotation texts name besides builtins.
const HintName hint_names[] = {{"Any", "typing"}};

int exec(PyObject* m) {
    State& st = state_of(m);
    new (&st) State();
    if (!st.c.init()) return -1;
    static const char* const texts[] = {
#define ZK_TEXT(name, text) text,
        ZK_PAYLOAD_STRINGS(ZK_TEXT)
#undef ZK_TEXT
    };
    if (!zk::intern_all(texts, k_count, st.s)) return -1;
    if (PyModule_AddStringConstant(m, "__version__", ZK_VERSION) < 0) return -1;
    if (!init_markets(st) || !init_referer(st) || !init_tables(st)) return -1;
    if (!st.functions.init(m, "zentrik.seller_sprite.api.payloads.zentrik_function", hint_names) ||
        !st.functions.add_to_module(m, functions, sizeof functions / sizeof functions[0]))
        return -1;
    for (int i = 0; i < kIntTexts; ++i)
        if (!(st.int_text[i] = PyUnicode_FromFormat("%d", i))) return -1;
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
    st.csv_memo.each(f);
    st.month_memo.each(f);
    st.history_memo.each(f);
    for (PyObject** t : {&st.tpl_competitor, &st.tpl_keyword_miner, &st.tpl_keyword_reverse, &st.tpl_traffic_source,
                         &st.tpl_product_research, &st.tpl_market_research})
        f(*t);
}

ZK_MODULE_DEFINITION(State, "zentrik.seller_sprite.api.payloads",
                     "卖家精灵场景 payload 构造。",
                     nullptr)

}  // namespace

}  // namespace zk::payloads

PyMODINIT_FUNC PyInit_payloads(void) { return PyModuleDef_Init(&zk::payloads::def); }
