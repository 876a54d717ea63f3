"""Web referers and the form encoding of their queries."""

from __future__ import annotations

import copy
import os
from collections import OrderedDict
from urllib.parse import urlencode

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import Boom, CollidingKey, Hostile, Mutator, ShowsAs, StrSub, call_quietly
from zentrik.seller_sprite.api import payloads as p

ORIGIN = "https://www.sellersprite.com"
EXAMPLES = 60 if os.environ.get("ZENTRIK_SANITIZER") else 400
FLATTENED_PAGES = {
    "competitor-lookup": "/v3/competitor-lookup?",
    "product-research": "/v3/product-research?",
    "market-research": "/v2/market-research?",
}


@pytest.mark.parametrize(
    "scenario, payload, expected",
    [
        (
            "keyword-reverse",
            {"asin": "B07YRMT36L", "market": "US", "month": "", "badges": []},
            "/v3/keyword-reverse/?q=B07YRMT36L&marketId=1&date=&badges=",
        ),
        (
            "traffic-source",
            {"keywordOrAsin": "B07YRMT36L", "market": "COM", "month": "202604"},
            "/v3/reversing/sources?asin=B07YRMT36L&marketId=1&date=202604",
        ),
        (
            "competitor-lookup",
            {"market": "US", "asins": ["A", "B"], "order": {"field": "total_sales", "desc": True}},
            "/v3/competitor-lookup?market=US&asins=%5B%22A%22%2C%22B%22%5D"
            "&order%5Bfield%5D=total_sales&order%5Bdesc%5D=True",
        ),
        ("keyword-miner", {}, "/v3/keyword-miner/"),
        ("keyword-miner", {"q": "x", "market": "US"}, "/v3/keyword-miner/"),
        ("market-research", {}, "/v2/market-research?"),
        ("product-research", {}, "/v3/product-research?"),
        ("competitor-lookup", {}, "/v3/competitor-lookup?"),
        ("keyword-reverse", {}, "/v3/keyword-reverse/?q=&marketId=6&date=&badges="),
        ("traffic-source", {}, "/v3/reversing/sources?asin=&marketId=None&date="),
        ("traffic-source", {"market": None}, "/v3/reversing/sources?asin=&marketId=None&date="),
        ("traffic-source", {"market": "us"}, "/v3/reversing/sources?asin=&marketId=1&date="),
        ("traffic-source", {"market": "xx"}, "/v3/reversing/sources?asin=&marketId=xx&date="),
        ("traffic-source", {"market": ""}, "/v3/reversing/sources?asin=&marketId=&date="),
        ("traffic-source", {"market": 0}, "/v3/reversing/sources?asin=&marketId=0&date="),
        (
            "keyword-reverse",
            {"asin": "a b+c", "market": "uk", "month": 202603, "badges": ["A", "B C"]},
            "/v3/keyword-reverse/?q=a+b%2Bc&marketId=3&date=202603&badges=A%2CB+C",
        ),
        (
            "keyword-reverse",
            {"asin": None, "market": "", "month": None, "badges": None},
            "/v3/keyword-reverse/?q=&marketId=6&date=&badges=",
        ),
        ("keyword-reverse", {"market": "gb"}, "/v3/keyword-reverse/?q=&marketId=gb&date=&badges="),
        ("keyword-reverse", {"market": 5}, "/v3/keyword-reverse/?q=&marketId=5&date=&badges="),
        ("keyword-reverse", {"asin": "ü/€"}, "/v3/keyword-reverse/?q=%C3%BC%2F%E2%82%AC&marketId=6&date=&badges="),
        ("Keyword-Miner", {"a": 1}, "/v3/competitor-lookup?a=1"),
        (" keyword-miner", {"a": 1}, "/v3/competitor-lookup?a=1"),
        ("keyword-reverse ", {}, "/v3/competitor-lookup?"),
        ("", {"a": 1}, "/v3/competitor-lookup?a=1"),
        ("whatever", {"a": 1}, "/v3/competitor-lookup?a=1"),
        ("market-research", {"x": None, "y": False, "z": 0}, "/v2/market-research?y=False&z=0"),
        ("market-research", {"o": {"k": "v w"}}, "/v2/market-research?o%5Bk%5D=v+w"),
        ("product-research", {"l": [], "e": ""}, "/v3/product-research?l=%5B%5D&e="),
        ("competitor-lookup", {"k~._-": "~._-*'()!"}, "/v3/competitor-lookup?k~._-=~._-%2A%27%28%29%21"),
        ("competitor-lookup", {"f": 1e16, "g": 0.5}, "/v3/competitor-lookup?f=1e%2B16&g=0.5"),
    ],
)
def test_referer(scenario, payload, expected):
    before = copy.deepcopy(payload)
    result = p.build_referer(payload, scenario)
    assert result == ORIGIN + expected
    assert type(result) is str
    assert payload == before


@pytest.mark.parametrize("badges", [[1], ["a", None], [["a"]]])
def test_keyword_reverse_badges_must_be_texts(badges):
    with pytest.raises(TypeError):
        p.build_referer({"badges": badges}, "keyword-reverse")


def test_str_subclass_scenario_is_rejected():
    with pytest.raises(TypeError, match=r"^Argument 'scenario' has incorrect type \(expected str, got StrSub\)$"):
        p.build_referer({}, StrSub("keyword-miner"))


# --- form encoding against urllib -------------------------------------------------

odd_text = st.text(
    alphabet=st.sampled_from("aZ09_.-~ +&=%[]\"',/?#:;\t\n\x00ü中😀\u3000\x7f") | st.characters(exclude_categories=["Cs"]),
    max_size=10,
)
leaf = st.none() | st.booleans() | st.integers(min_value=-(10**30), max_value=10**30) | st.floats() | odd_text
child = leaf | st.lists(leaf, max_size=3) | st.dictionaries(odd_text, leaf, max_size=2)


def reordered(pairs):
    """An OrderedDict whose order differs from that of its own table."""
    ordered = OrderedDict(pairs)
    if ordered:
        ordered.move_to_end(next(iter(ordered)))
    return ordered


payloads = st.dictionaries(
    odd_text | st.integers(min_value=-3, max_value=3),
    leaf
    | st.lists(child, max_size=4)
    | st.dictionaries(odd_text | st.integers(0, 3), child, max_size=4)
    | st.lists(st.tuples(odd_text, leaf), max_size=4).map(reordered),
    max_size=6,
)


@settings(deadline=None, max_examples=EXAMPLES)
@given(payloads, st.sampled_from(sorted(FLATTENED_PAGES)))
@example({"a[b]": "1", "a": {"b": "2"}}, "competitor-lookup")
@example({"a": {"b": "2"}, "a[b]": "1"}, "market-research")
@example({1: "x", "1": "y"}, "product-research")
@example({"o": {1: [None, "é"]}}, "competitor-lookup")
@example({"o": OrderedDict([("b", 2), ("a", 1)]), "p": {"x": 1}}, "market-research")
def test_flattened_query_is_urlencode_of_flatten_query(payload, scenario):
    before = repr(payload)
    expected = ORIGIN + FLATTENED_PAGES[scenario] + urlencode(p._flatten_query(payload))
    assert p.build_referer(payload, scenario) == expected
    assert repr(payload) == before


@pytest.mark.parametrize("scenario", ["competitor-lookup", "keyword-reverse", "traffic-source"])
@pytest.mark.parametrize("text", ["\ud800", "a\udfffb"])
def test_lone_surrogates_fail_like_utf8(scenario, text):
    payload = {"asin": text, "keywordOrAsin": text, "k": text}
    with pytest.raises(UnicodeEncodeError):
        p.build_referer(payload, scenario)
    with pytest.raises(UnicodeEncodeError):
        urlencode(p._flatten_query(payload))


# --- hostile payloads ----------------------------------------------------------------


@pytest.mark.parametrize(
    "scenario, payload",
    [
        ("competitor-lookup", {"a": Hostile("str")}),
        ("competitor-lookup", {"l": ["x", Hostile("str")]}),
        ("competitor-lookup", {"o": {"k": Hostile("str")}}),
        ("competitor-lookup", {"a[": {"k": Hostile("str")}}),  # the two-step path
        ("market-research", {"a": Hostile("str")}),
        ("keyword-reverse", {"asin": Hostile("bool")}),
        ("keyword-reverse", {"asin": Hostile("str")}),
        ("keyword-reverse", {"market": Hostile("bool")}),
        ("keyword-reverse", {"month": Hostile("str")}),
        ("keyword-reverse", {"badges": Hostile("bool")}),
        ("traffic-source", {"keywordOrAsin": Hostile("str")}),
        ("traffic-source", {"market": Hostile("str")}),
        ("keyword-reverse", {CollidingKey("asin"): 1}),
        ("traffic-source", {CollidingKey("market"): 1}),
    ],
)
def test_raising_value_propagates(scenario, payload):
    with pytest.raises(Boom):
        p.build_referer(payload, scenario)


@pytest.mark.parametrize("scenario", ["competitor-lookup", "market-research", "keyword-reverse", "traffic-source"])
@pytest.mark.parametrize("where", ["top", "child", "list", "key"])
def test_payload_changed_while_being_read_does_not_crash(scenario, where):
    payload: dict = {}
    armed = []

    def once(action):
        def hook():
            if armed:
                armed.clear()
                action()

        return hook

    if where == "key":
        # in the table before the keys they collide with: their __eq__ runs
        # when those keys are looked up
        payload[CollidingKey("market", on_eq=once(payload.clear))] = 1
        payload[CollidingKey("asin", on_eq=once(lambda: payload.update(asin=Mutator(payload))))] = 2
    payload.update(
        {"asin": "x", "keywordOrAsin": "y", "market": "us", "month": "1", "badges": [], "o": {"a": 1}, "l": [1, 2]}
    )
    if where == "top":
        for key in ("asin", "keywordOrAsin", "month", "l"):
            payload[key] = Mutator(payload)
    elif where == "child":
        payload["o"]["a"] = Mutator(payload["o"])
        payload["o"]["b"] = Mutator(payload)
    elif where == "list":
        payload["l"][0] = Mutator(payload["l"])
    else:
        payload["a["] = {"k": Mutator(payload)}
    armed.append(True)
    result = call_quietly(p.build_referer, payload, scenario)
    assert isinstance(result, (str, RuntimeError))


def test_str_subclass_values_encode_their_characters():
    value = ShowsAs(StrSub("a b"))
    assert p.build_referer({"k": value, "l": [value], "o": {"c": value}}, "x") == (
        ORIGIN + "/v3/competitor-lookup?k=a+b&l=%5B%22a+b%22%5D&o%5Bc%5D=a+b"
    )
    assert p.build_referer({"asin": value, "market": ShowsAs(StrSub("de"))}, "keyword-reverse") == (
        ORIGIN + "/v3/keyword-reverse/?q=a+b&marketId=4&date=&badges="
    )
