"""What the six payload builders and the product research helpers share:
argument checks, docstrings and signatures, untouched inputs, hostile option
values and option maps, overflow, and the lookup path for maps with keys that
are not plain strings (the leak gate runs them all for leaks)."""

from __future__ import annotations

import ast
import copy
import gc
import importlib.util
import inspect
import json
import pathlib
import pydoc
from collections import OrderedDict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import (Boom, CollidingKey, Hostile, Mutator, StrSub, bare_signature, call_error, call_quietly,
                      python_twin, skip_corrupt_dict_on_debug_build)
from zentrik.seller_sprite.api import payloads as p

STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "zentrik-stubs" / "seller_sprite" / "api" / "payloads.pyi"

BUILDERS = [
    "make_competitor_payload", "make_keyword_miner_payload", "make_keyword_reverse_payload",
    "make_traffic_source_payload", "make_product_research_payload", "make_market_research_payload",
]  # fmt: skip
READERS = ["normalize_product_research_input", "product_research_recommendation_preset", "new_release_num"]
APPENDERS = ["_append_product_list_filters", "_append_product_range_filters", "_append_product_extra_filters"]

DOCS = {
    "make_competitor_payload": "构造竞品查询 payload。",
    "make_keyword_miner_payload": "构造关键词挖掘 payload。",
    "make_keyword_reverse_payload": "构造关键词反查 payload。",
    "make_traffic_source_payload": "构造查流量来源 payload。",
    "make_product_research_payload": "构造选产品 payload。",
    "make_market_research_payload": "构造选市场表单 payload。",
    "normalize_product_research_input": "兼容 SellerSprite 官方开放 API 的选产品入参命名。",
    "product_research_recommendation_preset": "解析选产品推荐模式并返回对应筛选参数。",
    "new_release_num": "解析新品定义月份数。",
    "_preset_key": None,
    "_append_product_list_filters": None,
    "_append_product_range_filters": None,
    "_append_product_extra_filters": None,
}
SIGNATURES = {name: "(input_data)" for name in BUILDERS + READERS}
SIGNATURES.update({name: "(payload, input_data)" for name in APPENDERS})
SIGNATURES["_preset_key"] = "(value)"

# Annotations of the stub, as the functions document them.
ANNOTATIONS = {name: (["dict[str, Any]"], "dict[str, Any]") for name in BUILDERS + READERS[:2]}
ANNOTATIONS["new_release_num"] = (["dict[str, Any]"], "int")
ANNOTATIONS["_preset_key"] = (["str"], "str")
ANNOTATIONS.update({name: (["dict[str, Any]", "dict[str, Any]"], "None") for name in APPENDERS})


def fn(name):
    return getattr(p, name)


# --- docstrings and signatures -----------------------------------------------------


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstring_and_signature(name):
    function = fn(name)
    assert function.__name__ == name
    assert function.__doc__ == DOCS[name]
    sig = inspect.signature(function)
    assert bare_signature(function) == SIGNATURES[name]
    assert all(q.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for q in sig.parameters.values())
    rendered = pydoc.render_doc(function, renderer=pydoc.plaintext)
    assert name + "(" in rendered and all(q.name + ": " in rendered for q in sig.parameters.values())
    if DOCS[name]:
        assert DOCS[name] in rendered


@pytest.mark.parametrize("name", sorted(ANNOTATIONS))
def test_stub_annotations(name):
    functions = {n.name: n for n in ast.parse(STUB.read_text(encoding="utf-8")).body if isinstance(n, ast.FunctionDef)}
    node = functions[name]
    params, result = ANNOTATIONS[name]
    assert [a.arg for a in node.args.args] == list(inspect.signature(fn(name)).parameters)
    assert [ast.unparse(a.annotation) for a in node.args.args] == params
    assert ast.unparse(node.returns) == result


def test_stub_annotates_the_tables():
    assigned = {
        n.target.id: ast.unparse(n.annotation)
        for n in ast.parse(STUB.read_text(encoding="utf-8")).body
        if isinstance(n, ast.AnnAssign)
    }
    assert assigned["MARKET_RESEARCH_HIDDEN_FIELDS"] == "list[str]"
    for name in ("PRODUCT_RESEARCH_RECOMMENDATION_ALIASES", "PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES"):
        assert assigned[name] == "dict[str, str]"
    assert assigned["PRODUCT_RESEARCH_RECOMMENDATION_PRESETS"].startswith("dict[str, dict[str, ")


# --- argument errors ---------------------------------------------------------------------


BAD_CALLS = [
    ((), {}),
    (({}, {}, {}), {}),
    (({},), {"bogus": 1}),
    (({}, {}, {}), {"bogus": 1}),
    ((), {"bogus": 1}),
    (({},), {"input_data": {}}),
    (({},), {"payload": {}}),
    (({}, {}), {"payload": {}}),
    (({}, {}), {"value": "x"}),
    (({},), {"value": "x"}),
    ((), {"payload": {}}),
    ((), {"input_data": {}, "payload": {}, "value": "x"}),
    (({}, {}), {}),
]


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_argument_errors_match_python_functions(name):
    function, twin = fn(name), python_twin(name, SIGNATURES[name])
    compared = 0
    for args, kwargs in BAD_CALLS:
        expected = call_error(twin, args, kwargs)
        if expected is None:
            continue  # a valid call for this signature
        assert call_error(function, args, kwargs) == expected, (args, kwargs)
        compared += 1
    assert compared >= 8


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_arguments_by_name(name):
    if name == "_preset_key":
        assert p._preset_key(value=" A_b ") == "a-b"
    elif name in APPENDERS:
        payload = {}
        assert fn(name)(input_data={"video": 1, "sellerTypes": "a", "priceMin": 2}, payload=payload) is None
        assert payload
    else:
        assert fn(name)(input_data={}) == fn(name)({})


class DictSub(dict):
    pass


class StrSubclass(str):
    pass


# The given kind as the interpreter names the type (a type of a C module with its module).
WRONG_MAPS = [
    (None, "NoneType"), ([], "list"), ((), "tuple"), ("input", "str"), (1, "int"), (2.5, "float"), (b"x", "bytes"),
    (DictSub(), "DictSub"), (OrderedDict(), "collections.OrderedDict"), ({"a"}, "set"),
]  # fmt: skip


@pytest.mark.parametrize("name", BUILDERS + READERS)
@pytest.mark.parametrize("value, got", WRONG_MAPS, ids=[g for _, g in WRONG_MAPS])
def test_input_data_must_be_a_dict(name, value, got):
    with pytest.raises(TypeError) as info:
        fn(name)(value)
    assert str(info.value) == f"Argument 'input_data' has incorrect type (expected dict, got {got})"


@pytest.mark.parametrize("name", APPENDERS)
@pytest.mark.parametrize("value, got", WRONG_MAPS, ids=[g for _, g in WRONG_MAPS])
def test_append_arguments_must_be_dicts_payload_first(name, value, got):
    message = "Argument '{}' has incorrect type (expected dict, got {})"
    with pytest.raises(TypeError) as info:
        fn(name)(value, value)
    assert str(info.value) == message.format("payload", got)
    with pytest.raises(TypeError) as info:
        fn(name)(value, {"video": 1})
    assert str(info.value) == message.format("payload", got)
    payload = {"kept": 1}
    with pytest.raises(TypeError) as info:
        fn(name)(payload, value)
    assert str(info.value) == message.format("input_data", got)
    assert payload == {"kept": 1}


@pytest.mark.parametrize(
    "value, got",
    [(None, "NoneType"), (1, "int"), (b"a", "bytes"), (["a"], "list"), (StrSubclass("a"), "StrSubclass"),
     (StrSub("a"), "StrSub")],
)  # fmt: skip
def test_preset_key_takes_only_a_str(value, got):
    with pytest.raises(TypeError) as info:
        p._preset_key(value)
    assert str(info.value) == f"Argument 'value' has incorrect type (expected str, got {got})"


# --- inputs are never modified ---------------------------------------------------------

RICH = {
    "market": "us", "site": ["de"], "marketId": "4", "month": "2026-03", "monthName": ["m"], "asins": ["A", " B "],
    "asin": "B0", "keyword": ["k1", " k2 "], "node": "1:2, 3", "page": "2", "size": [1], "orderField": {"f": [1]},
    "badges": ["x", ""], "mode": "研发新品榜", "minUnits": 3, "availableMonth": [6], "badgeBS": "yes",
    "productTags": "X, Y", "sellerTypes": ["FBA", ""], "priceMin": 2, "video": {"v": []}, "includeBrands": ["b"],
    "excludeKeywords": "e", "minAvgSales": 0, "sellerNations": ["CN"], "newReleaseNum": "3m", "topN": "20",
    "variation": "1", 0: "not a text key",
}  # fmt: skip


def snapshot(value):
    """Structure and identities of a map, deep."""
    if isinstance(value, dict):
        return [(k, id(v), snapshot(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [(id(v), snapshot(v)) for v in value]
    return repr(value)


@pytest.mark.parametrize("name", BUILDERS + READERS)
@pytest.mark.parametrize("text_keys_only", [True, False], ids=["scan", "lookup"])
def test_inputs_are_never_modified(name, text_keys_only):
    options = copy.deepcopy(RICH)
    if text_keys_only:
        del options[0]
    before = snapshot(options)
    result = fn(name)(options)
    assert snapshot(options) == before
    assert result is not options


@pytest.mark.parametrize("name", BUILDERS + APPENDERS)
def test_a_key_that_is_not_a_text_changes_no_payload(name):
    # A map with such a key is read by lookups, not by the walk over its names.
    text_keys = {k: v for k, v in RICH.items() if isinstance(k, str)}
    assert call_with(name, copy.deepcopy(RICH)) == call_with(name, copy.deepcopy(text_keys))


@pytest.mark.parametrize("name", APPENDERS)
def test_appenders_change_only_their_payload(name):
    options = copy.deepcopy(RICH)
    before = snapshot(options)
    payload = {"first": [1], "sellerTypes": ["old"], "minPrice": "old", "lowPrice": "N"}
    first = payload["first"]
    fn(name)(payload, options)
    assert snapshot(options) == before
    assert list(payload)[:4] == ["first", "sellerTypes", "minPrice", "lowPrice"] and payload["first"] is first


def test_appenders_read_and_write_the_same_map():
    # the payload may be the very map the filters are read from
    for name in APPENDERS:
        for options in ({"sellerTypes": "a,b", "priceMin": 1, "video": 0}, {"sellerTypes": "a,b", "priceMin": 1, 0: 0}):
            result = call_quietly(fn(name), options, options)
            assert result is None
    options = {"sellerTypes": "a,b", "priceMin": 1, "video": 0}
    p._append_product_list_filters(options, options)
    p._append_product_range_filters(options, options)
    assert options == {"sellerTypes": ["a", "b"], "priceMin": 1, "video": 0, "minPrice": "1"}


# --- hostile option values ---------------------------------------------------------------

# Options whose given protocol each function uses (option:protocol, space-separated).
RAISING_BY_FUNCTION = {
    "make_competitor_payload": "market:bool page:int asins:str",
    "make_keyword_miner_payload": (
        "keyword:bool q:bool marketId:bool marketId:int market:str site:str pageNum:bool "
        "startPage:int size:int historyDate:bool monthName:str orderBy:int desc:str "
        "filterRootWord:int rootWord:str filterRootWordEnabled:str matchType:int "
        "amazonChoice:str keywordBidMatchType:bool includeHighFrequency:str groupNum:int"
    ),
    "make_keyword_reverse_payload": (
        "asin:bool limit:bool pageSize:int skip:int pageNum:int month:str marketId:bool "
        "marketId:int site:str badges:str conversionKeywordTypes:bool "
        "trafficKeywordTypes:str order:int desc:str exactly:str keywordBidMatchType:bool "
        "filterDeletedKeywords:str"
    ),
    "make_traffic_source_payload": (
        "keywordOrAsin:bool asins:str q:str market:str pageNo:int size:bool order:int "
        "desc:str historyDate:str"
    ),
    "make_product_research_payload": (
        "market:str page:int pageSize:bool monthName:bool period:str selectType:str "
        "filterSub:str weightUnit:bool orderField:bool orderDesc:str category:str "
        "sellerNationList:str smallAndLight:bool recommendationMode:bool 推荐模式:str "
        "badgeNR:str badgeAC:str productTags:bool sellerTypes:str eligibility:bool "
        "maxSellers:str ratingMax:str maxUnits:str keywords:bool excludeKeywords:bool"
    ),
    "make_market_research_payload": (
        "marketId:bool marketId:str site:str category:str sampleNumber:str topN:bool "
        "topn:str newReleaseMonths:str newReleaseNum:int order.field:bool order.desc:str "
        "tab:str monthName:bool month:str newReleaseNumSelect:str topNSelect:bool "
        "startPage:int size:int keyword:str sellerNations:str maxNewAvgSales:str"
    ),
    "normalize_product_research_input": "badgeNR:str badgeBS:str productTags:bool productTags:str",
    "product_research_recommendation_preset": "mode:bool presetMode:str",
    "new_release_num": "newReleaseNum:bool newProductMonths:str newRelease:int",
    "_append_product_list_filters": "sellerTypes:bool productTags:str",
    "_append_product_range_filters": "minSales:str salesMin:str",
}
# Options read only when others are falsy.
RAISING_AFTER = {
    ("make_keyword_miner_payload", "q"): {"keyword": ""},
    ("make_keyword_miner_payload", "site"): {"market": ""},
    ("make_keyword_miner_payload", "filterRootWordEnabled"): {"rootWord": "no"},
    ("make_keyword_reverse_payload", "marketId"): {"market": "us"},
    ("make_traffic_source_payload", "q"): {"keyword": 0},
    ("make_product_research_payload", "category"): {"node": ""},
}
RAISING = [
    (name, option, protocol, RAISING_AFTER.get((name, option), {}))
    for name, pairs in RAISING_BY_FUNCTION.items()
    for option, protocol in (pair.split(":") for pair in pairs.split())
]


def call_with(name, options):
    if name in APPENDERS:
        return fn(name)({}, options)
    return fn(name)(options)


@pytest.mark.parametrize("name, option, protocol, others", RAISING)
@pytest.mark.parametrize("text_keys_only", [True, False], ids=["scan", "lookup"])
def test_raising_option_propagates(name, option, protocol, others, text_keys_only):
    options = dict(others)
    options[option] = Hostile(protocol)
    if not text_keys_only:
        options[(1, 2)] = "a key that is not a text"
    with pytest.raises(Boom):
        call_with(name, options)


# Options that a function places unchanged, or tests only against none before
# taking their text: (function, option, protocols that raise, key it lands on,
# and whether it lands the same object or its text).
UNTOUCHED = [
    ("make_keyword_miner_payload", "keyword", ("str", "eq", "int"), "keyword", "same"),
    ("make_keyword_reverse_payload", "asin", ("str", "eq", "int"), "asin", "same"),
    ("make_product_research_payload", "video", ("str", "bool", "eq", "int"), "video", "same"),
    ("make_product_research_payload", "availableMonth", ("str", "bool", "eq", "int"), "putawayMonth", "same"),
    ("make_product_research_payload", "keyword", ("str", "eq", "int"), "keyword", "same"),
    ("make_product_research_payload", "maxPrice", ("bool", "eq", "int"), "maxPrice", "text"),
    ("make_market_research_payload", "minAvgSales", ("bool", "eq", "int"), "minAvgSales", "text"),
    ("make_market_research_payload", "orderField", ("str", "eq", "int"), "order.field", "same"),
    ("normalize_product_research_input", "badgeNR", ("bool", "eq", "int"), "badgeNR", "same"),
    ("normalize_product_research_input", "minUnits", ("str", "bool", "eq", "int"), "minSales", "same"),
    ("_append_product_extra_filters", "putawayMonth", ("str", "bool", "eq", "int"), "putawayMonth", "same"),
    ("_append_product_range_filters", "minPrice", ("bool", "eq", "int"), "minPrice", "text"),
]


@pytest.mark.parametrize("name, option, protocols, key, lands", UNTOUCHED)
def test_protocols_that_the_definition_never_uses_are_not_called(name, option, protocols, key, lands):
    value = Hostile(*protocols)
    options = {option: value, "productTags": "t"}
    result = {} if name in APPENDERS else None
    if result is None:
        result = fn(name)(options)
    else:
        fn(name)(result, options)
    if lands == "same":
        assert result[key] is value
    else:
        assert result[key] == "hostile" and type(result[key]) is str


# Names each function reads whatever else the options hold.
ALWAYS_READ = {
    "make_competitor_payload": ["market", "monthName", "page", "keyword", "brand"],
    "make_keyword_miner_payload": ["marketId", "market", "page", "keyword", "monthName", "groupNum"],
    "make_keyword_reverse_payload": ["marketId", "market", "page", "asin", "skip", "monthName", "exactly"],
    "make_traffic_source_payload": ["market", "page", "keyword", "q", "monthName", "order"],
    "make_product_research_payload": ["market", "mode", "minUnits", "badgeNR", "productTags", "page", "keyword",
                                      "monthName", "maxSellers", "video"],
    "make_market_research_payload": ["marketId", "market", "page", "keyword", "newReleaseNum", "minAvgSales",
                                     "monthName", "maxNewAvgSales"],
    "normalize_product_research_input": ["minUnits", "availableMonth", "badgeNR", "productTags"],
    "product_research_recommendation_preset": ["recommendationMode", "推荐模式"],
    "new_release_num": ["newReleaseNum", "newRelease"],
    "_append_product_list_filters": ["productTags", "eligibility"],
    "_append_product_range_filters": ["minPrice", "priceMin", "maxSellers"],
    "_append_product_extra_filters": ["putawayMonth", "matchType"],
}  # fmt: skip


@pytest.mark.parametrize("name, option", [(n, o) for n, names in ALWAYS_READ.items() for o in names])
def test_raising_eq_of_a_colliding_key_propagates(name, option):
    # a key that is not a text, with the hash of an option name that the
    # function reads: looking the name up compares them
    with pytest.raises(Boom):
        call_with(name, {"other": 1, CollidingKey(option): 1})


MUTATED_NAMES = [
    "market", "site", "marketId", "month", "monthName", "historyDate", "keyword", "q", "asin", "asins", "page",
    "pageNum", "size", "limit", "skip", "node", "orderField", "orderDesc", "desc", "rootWord", "badges", "mode",
    "minUnits", "badgeNR", "badgeBS", "productTags", "sellerTypes", "priceMin", "availableMonth", "smallAndLight",
    "includeBrands", "topN", "newReleaseNum", "minAvgSales", "departmentKeyword", "exactly",
]  # fmt: skip


@pytest.mark.parametrize("name", BUILDERS + READERS + APPENDERS)
@pytest.mark.parametrize("text_keys_only", [True, False], ids=["scan", "lookup"])
def test_option_that_rebuilds_the_options_does_not_crash(name, text_keys_only):
    for option in MUTATED_NAMES:
        options = {n: "" for n in MUTATED_NAMES}
        options["badgeNR"] = "y"
        if not text_keys_only:
            options[1.5] = "a key that is not a text"
        mutator = Mutator(options, "12")
        options[option] = mutator
        payload = {n: None for n in MUTATED_NAMES} if name in APPENDERS else None
        result = call_quietly(fn(name), payload, options) if payload is not None else call_quietly(fn(name), options)
        assert not isinstance(result, BaseException), (option, result)


@pytest.mark.parametrize("name", BUILDERS + READERS + APPENDERS)
def test_options_are_read_as_they_were_whatever_their_keys(name):
    # A value that rebuilds the map while it is read changes nothing of what
    # the function reads, whether the map's keys are all texts or not.
    def run(option, other_key):
        options = {n: str(i) for i, n in enumerate(MUTATED_NAMES)}
        if other_key:
            options[1.5] = "a key that is not a text"
        options[option] = Mutator(options, "12")
        args = ({}, options) if name in APPENDERS else (options,)
        result = fn(name)(*args)
        shown = args[0] if name in APPENDERS else result
        if isinstance(shown, dict):
            shown.pop(1.5, None)  # normalize_product_research_input copies every key
        return json.dumps(shown, default=lambda o: "<mutator>" if isinstance(o, Mutator) else str(o))

    for option in MUTATED_NAMES:
        assert run(option, True) == run(option, False), option


@skip_corrupt_dict_on_debug_build
@pytest.mark.parametrize("name", BUILDERS + READERS)
@pytest.mark.parametrize("option", ["market", "mode", "minUnits", "productTags", "page", "newReleaseNum", "keyword"])
def test_colliding_key_that_rebuilds_the_options_does_not_crash(name, option):
    options = {n: "x" for n in MUTATED_NAMES}
    options[CollidingKey(option, on_eq=lambda: Mutator(options)._mutate())] = 1
    result = call_quietly(fn(name), options)
    assert isinstance(result, (dict, int)), result


def test_module_instances_keep_their_own_tables():
    # a second module object (as a subinterpreter or a reload makes one)
    other = importlib.util.module_from_spec(p.__spec__)
    p.__spec__.loader.exec_module(other)
    assert other is not p
    assert other.PRODUCT_RESEARCH_RECOMMENDATION_PRESETS is not p.PRODUCT_RESEARCH_RECOMMENDATION_PRESETS
    other.PRODUCT_RESEARCH_RECOMMENDATION_PRESETS.clear()
    options = {"mode": "new-release", "minUnits": 2, "site": "us", 0: 0}
    build = other.make_product_research_payload
    del other
    gc.collect()
    assert build(options) == p.make_product_research_payload(options)
    assert p.product_research_recommendation_preset({"mode": "new-release"})["maxSales"] == "500"


# --- overflow ---------------------------------------------------------------------------

OVERFLOWING = [
    ("make_competitor_payload", ["page", "startPage", "size", "pageSize"]),
    ("make_keyword_miner_payload", ["marketId", "pageNum", "page", "startPage", "pageSize", "size", "orderBy",
                                    "filterRootWord", "matchType", "groupNum"]),
    ("make_keyword_reverse_payload", ["limit", "size", "pageSize", "page", "pageNum", "startPage", "skip", "order"]),
    ("make_traffic_source_payload", ["pageNo", "page", "startPage", "pageSize", "size", "order"]),
    ("make_product_research_payload", ["page", "startPage", "size", "pageSize"]),
    ("make_market_research_payload", ["page", "startPage", "size", "pageSize", "newReleaseNum", "newReleaseMonths",
                                      "newProductMonths", "newRelease"]),
    ("new_release_num", ["newReleaseNum", "newReleaseMonths", "newProductMonths", "newRelease"]),
]  # fmt: skip


@pytest.mark.parametrize("name, options", OVERFLOWING)
@pytest.mark.parametrize("infinity", [float("inf"), float("-inf")])
def test_an_infinite_number_overflows(name, options, infinity):
    for option in options:
        with pytest.raises(OverflowError):
            fn(name)({option: infinity})
        with pytest.raises(OverflowError):
            fn(name)({option: infinity, ("not", "text"): 1})
    # not a number: the default of the row
    assert fn(name)({option: float("nan") for option in options}) == fn(name)({})


# --- maps with keys that are not plain texts -----------------------------------------------

option_values = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-2, max_value=12)
    | st.sampled_from(
        ["", "0", "3m", "us", "de", "2026-03", "30d", "yes", "false", "a, b", "研发新品榜", "low-price", " 7 "]
    )
    | st.lists(st.sampled_from(["", " x ", "FBA"]), max_size=2)
)
NAMES = sorted(set(MUTATED_NAMES) | {"maxBsr", "variation", "minSales", "video", "matchType", "order.field",
                                     "topn", "minPrice", "eligibility", "pageSize", "startPage"})  # fmt: skip
OTHER_KEYS = [0, 1.5, ("market",), None, b"market", frozenset({"page"}), True]


@settings(deadline=None, max_examples=150)
@given(
    st.dictionaries(st.sampled_from(NAMES), option_values, max_size=10),
    st.lists(st.sampled_from(OTHER_KEYS), min_size=1, max_size=3, unique=True),
    st.integers(min_value=0, max_value=10),
)
def test_keys_that_are_not_texts_change_nothing(options, others, at):
    items = list(options.items())
    mixed = dict(items[:at] + [(k, "ignored") for k in others] + items[at:])
    renamed = {StrSubclass(k): v for k, v in options.items()}  # found by lookups too
    for name in BUILDERS + READERS:
        expected = repr(fn(name)(options))
        result = fn(name)(mixed)
        if name == "normalize_product_research_input":
            result = {k: v for k, v in result.items() if k not in others}
        assert repr(result) == expected, name
        assert repr(fn(name)(renamed)) == expected, name
    for name in APPENDERS:
        a, b, c = {"x": 1}, {"x": 1}, {"x": 1}
        fn(name)(a, options)
        fn(name)(b, mixed)
        fn(name)(c, renamed)
        assert repr(a) == repr(b) == repr(c)


@settings(deadline=None, max_examples=100)
@given(st.dictionaries(st.sampled_from(NAMES), st.sampled_from(
    ["us", "De", "2026-03", "30d", "yes", "TRUE", "false", "3m", "半年内上架", "new-release", "Low Price Long Tail",
     " 潜力市场 ", "a, b,,c", " 12 ", "1", "bsr_sales_monthly_202601", "ß", "İ"]), max_size=12))  # fmt: skip
def test_str_subclass_values_are_read_as_their_text(options):
    # the text work of the builders never calls a subclass's own methods
    wrapped = {k: StrSub(v) for k, v in options.items()}
    for name in BUILDERS + READERS:
        assert repr(fn(name)(wrapped)) == repr(fn(name)(options)), name
