"""The competitor lookup payload."""

from __future__ import annotations

import copy
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import Boom, CollidingKey, Hostile, Mutator, ShowsAs, StrSub, call_quietly, first_truthy
from zentrik.seller_sprite.api import payloads as p

make = p.make_competitor_payload
EXAMPLES = 60 if os.environ.get("ZENTRIK_SANITIZER") else 300
ALWAYS = ["market", "monthName", "asins", "page", "nodeIdPaths", "symbolFlag", "size", "order", "lowPrice"]


def test_empty_options_give_the_nine_default_keys():
    payload = make({})
    assert list(payload) == ALWAYS
    assert payload == {
        "market": "DE",
        "monthName": "bsr_sales_monthly_202604",
        "asins": [],
        "page": 1,
        "nodeIdPaths": [],
        "symbolFlag": False,
        "size": 100,
        "order": {"field": "amz_unit", "desc": True},
        "lowPrice": "N",
    }
    assert list(payload["order"]) == ["field", "desc"]
    kinds = [type(payload[k]) for k in ALWAYS]
    assert kinds == [str, str, list, int, list, bool, int, dict, str]


def test_each_call_builds_new_containers():
    first, second = make({}), make({})
    for key in ("asins", "nodeIdPaths", "order"):
        assert first[key] is not second[key]
    first["asins"].append("x")
    first["order"]["desc"] = False
    assert make({}) == second


@pytest.mark.parametrize(
    "options, expected",
    [
        ({"site": "us"}, {"market": "US"}), ({"market": "jp", "site": "us"}, {"market": "JP"}),
        ({"market": "", "site": "fr"}, {"market": "FR"}), ({"market": 0, "site": 0}, {"market": "DE"}),
        ({"month": "2026-03"}, {"monthName": "bsr_sales_monthly_202603"}),
        ({"period": "30d"}, {"monthName": "bsr_sales_nearly"}),
        ({"month": "", "period": "latest30"}, {"monthName": "bsr_sales_nearly"}),
        ({"month": 202601, "period": "30d"}, {"monthName": "bsr_sales_monthly_202601"}),
        ({"monthName": "custom", "month": "2026-03"}, {"monthName": "custom"}),
        ({"monthName": ["x"]}, {"monthName": ["x"]}),
        ({"monthName": "", "month": "2026-01"}, {"monthName": "bsr_sales_monthly_202601"}),
        ({"asins": "A1, B2,,"}, {"asins": ["A1", "B2"]}),
        ({"asins": ["A1 ", "", None]}, {"asins": ["A1", "None"]}), ({"page": "abc", "startPage": 5}, {"page": 1}),
        ({"page": 0, "startPage": 3}, {"page": 3}), ({"startPage": 0}, {"page": 0}),
        ({"page": " 7 "}, {"page": 7}), ({"page": 2.9}, {"page": 2}),
        ({"page": None, "startPage": "4"}, {"page": 4}), ({"page": 10**30}, {"page": 10**30}),
        ({"node": "a, b,,c"}, {"nodeIdPaths": ["a", "b", "c"]}),
        ({"node": "", "nodeIdPaths": ["1:2", "3"]}, {"nodeIdPaths": ["1:2", "3"]}),
        ({"node": "x", "nodeIdPaths": ["1:2"]}, {"nodeIdPaths": ["x"]}), ({"size": "50"}, {"size": 50}),
        ({"size": 0, "pageSize": "20"}, {"size": 20}), ({"pageSize": 0}, {"size": 0}),
        ({"size": [], "pageSize": []}, {"size": 100}), ({"size": "1.5"}, {"size": 100}),
        ({"orderField": "total_sales"}, {"order": {"field": "total_sales", "desc": True}}),
        ({"orderField": 7}, {"order": {"field": 7, "desc": True}}),
        ({"orderDesc": False}, {"order": {"field": "amz_unit", "desc": False}}),
        ({"orderDesc": "FALSE"}, {"order": {"field": "amz_unit", "desc": False}}),
        ({"orderDesc": "no"}, {"order": {"field": "amz_unit", "desc": True}}),
        ({"orderDesc": "0"}, {"order": {"field": "amz_unit", "desc": True}}),
        ({"orderDesc": 0}, {"order": {"field": "amz_unit", "desc": True}}),
        ({"orderDesc": None}, {"order": {"field": "amz_unit", "desc": True}}),
        ({"lowPrice": "Y"}, {"lowPrice": "Y"}), ({"lowPrice": False}, {"lowPrice": "N"}),
        ({"lowPrice": 0}, {"lowPrice": "N"}), ({"lowPrice": ""}, {"lowPrice": "N"}),
        ({"lowPrice": 1}, {"lowPrice": 1}),

    ],
)
def test_options(options, expected):
    before = copy.deepcopy(options)
    payload = make(options)
    assert list(payload) == ALWAYS
    for key, value in expected.items():
        assert payload[key] == value
        assert type(payload[key]) is type(value)
    assert options == before


@pytest.mark.parametrize(
    "options, tail",
    [
        ({"keyword": "red shoes"}, {"keywords": "red shoes"}),
        ({"keywords": "a,b", "keyword": "c"}, {"keywords": "a,b"}),
        ({"keywords": "", "keyword": "c"}, {"keywords": "c"}),
        ({"keywords": ["x", "y"]}, {"keywords": ["x", "y"]}),
        ({"keywords": 0, "keyword": ""}, {}),
        ({"brand": "Acme", "sellerName": "Shop"}, {"brand": "Acme", "sellerName": "Shop"}),
        ({"sellerName": "Shop", "brand": "Acme"}, {"brand": "Acme", "sellerName": "Shop"}),
        ({"brand": ""}, {}),
        ({"brand": None, "sellerName": 0}, {}),
        ({"sellerName": "S", "keyword": "k", "brand": "B"}, {"keywords": "k", "brand": "B", "sellerName": "S"}),
        ({"unknown": 1, "asin": "X", "marketId": 3, "month": "2026-01"}, {}),
    ],
)
def test_optional_keys_come_last_in_order(options, tail):
    payload = make(options)
    assert list(payload) == ALWAYS + list(tail)
    for key, value in tail.items():
        assert payload[key] == value


def test_unchanged_values_are_the_option_objects():
    keywords, brand, field, month = ["a"], ["b"], {"f": 1}, ["m"]
    payload = make({"keywords": keywords, "brand": brand, "orderField": field, "monthName": month})
    assert payload["keywords"] is keywords
    assert payload["brand"] is brand
    assert payload["order"]["field"] is field
    assert payload["monthName"] is month


# --- against the definition, composed of the module's own coercions -------------

option_values = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-5, max_value=300)
    | st.sampled_from(["", " ", "0", "abc", "us", "fr", "2026-03", "30d", "a, b,,c", "false", "Y", " 12 "])
    | st.lists(st.sampled_from(["", "x", " y ", "a,b"]), max_size=3)
)
option_names = st.sampled_from(
    [
        "market", "site", "month", "period", "monthName", "asins", "page", "startPage", "node",
        "nodeIdPaths", "size", "pageSize", "orderField", "orderDesc", "lowPrice", "keywords",
        "keyword", "brand", "sellerName", "asin",
    ]
)  # fmt: skip


def expected_payload(o):
    payload = {
        "market": p._market(o),
        "monthName": o.get("monthName") or p.month_name(first_truthy(o, "month", "period") or "202604"),
        "asins": p.csv(o.get("asins")),
        "page": p._int(first_truthy(o, "page", "startPage"), 1),
        "nodeIdPaths": p.csv(first_truthy(o, "node", "nodeIdPaths")),
        "symbolFlag": False,
        "size": p._int(first_truthy(o, "size", "pageSize"), 100),
        "order": {"field": o.get("orderField") or "amz_unit", "desc": p.order_desc(o.get("orderDesc"))},
        "lowPrice": o.get("lowPrice") or "N",
    }
    if first_truthy(o, "keywords", "keyword"):
        payload["keywords"] = first_truthy(o, "keywords", "keyword")
    for key in ("brand", "sellerName"):
        if o.get(key):
            payload[key] = o[key]
    return payload


@settings(deadline=None, max_examples=EXAMPLES)
@given(st.dictionaries(option_names, option_values, max_size=10))
def test_payload_matches_its_definition(options):
    before = copy.deepcopy(options)
    payload = make(options)
    expected = expected_payload(options)
    assert list(payload.items()) == list(expected.items())
    assert options == before


# --- argument kinds and hostile options ------------------------------------------


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "argument, got",
    [(None, "NoneType"), ([], "list"), ("market", "str"), (1, "int"), (DictSub(), "DictSub"), ((), "tuple")],
)
def test_input_must_be_a_dict(argument, got):
    with pytest.raises(TypeError) as info:
        make(argument)
    assert str(info.value) == f"Argument 'input_data' has incorrect type (expected dict, got {got})"


@pytest.mark.parametrize(
    "key, fails",
    [
        ("market", ("bool",)), ("market", ("str",)), ("site", ("str",)), ("month", ("str",)),
        ("period", ("bool",)), ("monthName", ("bool",)), ("asins", ("str",)), ("page", ("bool",)),
        ("page", ("int",)), ("node", ("str",)), ("size", ("bool",)), ("orderField", ("bool",)),
        ("orderDesc", ("str",)), ("lowPrice", ("bool",)), ("keywords", ("bool",)), ("keyword", ("bool",)),
        ("brand", ("bool",)), ("sellerName", ("bool",)),

    ],
)
def test_raising_option_propagates(key, fails):
    options = {"market": "us", key: Hostile(*fails)}
    if key == "site":
        options["market"] = ""
    if key == "period":
        options["month"] = ""
    with pytest.raises(Boom):
        make(options)


@pytest.mark.parametrize("name", ["market", "monthName", "asins", "page", "orderDesc", "brand", "sellerName"])
def test_raising_eq_of_a_colliding_key_propagates(name):
    with pytest.raises(Boom):
        make({CollidingKey(name): 1})


@pytest.mark.parametrize(
    "key",
    ["market", "site", "month", "monthName", "asins", "page", "node", "size", "orderField", "orderDesc", "lowPrice",
     "keywords", "brand", "sellerName"],
)  # fmt: skip
def test_option_that_rebuilds_the_options_does_not_crash(key):
    options = {name: "" for name in ("market", "site", "month", "page", "node", "size", "keywords", "brand")}
    options[key] = Mutator(options, "12")
    result = call_quietly(make, options)
    assert isinstance(result, dict) and list(result)[: len(ALWAYS)] == ALWAYS


def test_str_subclass_options():
    options = {"market": ShowsAs(StrSub("us")), "month": ShowsAs(StrSub("2026-03")), "asins": ShowsAs(StrSub("a,b"))}
    payload = make(options)
    assert payload["market"] == "US" and type(payload["market"]) is str
    assert payload["monthName"] == "bsr_sales_monthly_202603" and type(payload["monthName"]) is str
    assert payload["asins"] == ["a", "b"] and all(type(a) is str for a in payload["asins"])
