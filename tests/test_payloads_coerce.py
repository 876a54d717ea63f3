"""Coercion of option values: csv, _query_text, order_desc, truthy, _market,
_int, json_like_list and _flatten_query."""

from __future__ import annotations

import copy
import enum
from collections import OrderedDict

import pytest

from conftest import Boom, CollidingKey, Hostile, Mutator, ShowsAs, StrSub, call_quietly
from zentrik.seller_sprite.api import payloads as p

# fmt: off
CSV = [
    (" a, b ,,c ", ["a", "b", "c"]), (["x ", 5, "", None], ["x", "5", "None"]),
    (["a,b", " c "], ["a,b", "c"]),  # list elements are not split further
    ([[], {}, 0, False, 0.0], ["[]", "{}", "0", "False", "0.0"]),  # falsy elements still show
    ([" ", "\u3000", "\x1c"], []), (0, []), (False, []), (None, []), ([], []), ("", []), ({}, []), (0.0, []),
    (True, ["True"]), (12, ["12"]), (1e16, ["1e+16"]), (",,,", []), ({"a": 1, "b": 2}, ["{'a': 1", "'b': 2}"]),
    ([["a", "b"]], ["['a', 'b']"]), ("x\u3000,\u00a0y", ["x", "y"]), ("a\tb, c d", ["a\tb", "c d"]),
]
QUERY_TEXT = [
    ([" B0A ", "", 7], "B0A,7"), ([], ""), ([" ", None, False], "None,False"), (0, ""), (0.0, ""), (False, ""),
    (None, ""), ({}, ""), ("  kw  ", "kw"), ("\u3000a b\x1f", "a b"), (True, "True"), ({"a": 1}, "{'a': 1}"),
]
ORDER_DESC = [
    (None, True), ("asc", True), ("0", True), (0, True), (0.0, True), ("", True), (" false", True),
    ("false ", True), ("no", True), (["false"], True), (True, True), ("false", False), ("False", False),
    ("FALSE", False), ("fAlSe", False), (False, False), (ShowsAs("FALSE"), False),
    (ShowsAs(StrSub("FALSE")), False),  # the subclass's own lower() would say "yes"
]
TRUTHY = [
    ("Yes", True), ("Y", True), ("y", True), ("TRUE", True), ("1", True), (1, True), (True, True),
    ("on", False), ("2", False), ("1.0", False), (1.0, False), (" yes", False), ("yes ", False), ("", False),
    (0, False), (2, False), (-1, False), (2**64 + 1, False), (False, False), (None, False), (["yes"], False),
    ("ｙｅｓ", False), (ShowsAs("YES"), True),
    (ShowsAs(StrSub("no")), False),  # the subclass's own lower() would say "yes"
]
MARKET = [
    ({}, {}, "DE"), ({"market": "", "site": "fr"}, {}, "FR"), ({"market": "us"}, {}, "US"),
    ({"market": 3}, {}, "3"), ({"market": "us", "site": "fr"}, {}, "US"), ({"site": "us"}, {}, "US"),
    ({"market": 0, "site": None}, {}, "DE"), ({"market": None, "site": False}, {"default": "jp"}, "JP"),
    ({}, {"default": ""}, ""), ({"market": " us "}, {}, " US "),  # nothing trimmed
    ({"market": "straße"}, {}, "STRASSE"), ({"market": ["us"]}, {}, "['US']"),
    ({"market": ShowsAs(StrSub("us"))}, {}, "US"), ({"market": StrSub("us")}, {}, "US"),
]
INT = [
    ("20", 20), (" 42 ", 42), ("1_000", 1000), ("007", 7), ("-0", 0), ("+5", 5), ("abc", -1), ("2.5", -1),
    ("", -1), ("   ", -1), ("1e3", -1), ("0x10", -1), (None, -1), ([], -1), (["1"], -1), ({}, -1), (3.9, 3),
    (-3.9, -3), (float("nan"), -1), (True, 1), (False, 0), (b"12", 12), (StrSub(" 8 "), 8),
    (enum.IntEnum("E", "A B")(2), 2), (Hostile(), 7),
]
JSON_LIKE_LIST = [
    (["A", "B"], '["A","B"]'), ([1, None, True], '["1","None","True"]'), ([], "[]"), ([""], '[""]'),
    (['a"b', "c\\d"], '["a"b","c\\d"]'),  # nothing escaped
    ([["x"], {"k": 1}, 1.5], '["[\'x\']","{\'k\': 1}","1.5"]'), ([" padded "], '[" padded "]'), (["中文"], '["中文"]'),
]
FLATTEN = [
    ({"s": "x", "n": None, "l": [], "o": {"field": "f", "desc": True}, "b": False},
     {"s": "x", "l": "[]", "o[field]": "f", "o[desc]": "True", "b": "False"}),
    ({}, {}), ({"a": 0, "b": "", "c": 1.0}, {"a": "0", "b": "", "c": "1.0"}), ({"l": ["A", "B"]}, {"l": '["A","B"]'}),
    ({"o": {"n": None, "l": ["x", "y"], "m": {}}}, {"o[n]": "None", "o[l]": "['x', 'y']", "o[m]": "{}"}),
    ({"o": {}}, {}), ({"o": {1: 2}}, {"o[1]": "2"}), ({"o": OrderedDict(x=1)}, {"o[x]": "1"}),
    # a key produced twice keeps its first place and the later value
    ({"a[b]": "1", "c": "3", "a": {"b": "2", "d": 4}}, {"a[b]": "2", "c": "3", "a[d]": "4"}),
    ({"a": {"b": "2"}, "a[b]": "1"}, {"a[b]": "1"}),
]
# fmt: on


@pytest.mark.parametrize("value, expected", CSV)
def test_csv(value, expected):
    before = copy.deepcopy(value)
    result = p.csv(value)
    assert result == expected and all(type(item) is str for item in result)
    assert value == before


def test_csv_returns_a_new_list_each_time():
    items = ["a", "b"]
    first, second = p.csv(items), p.csv(items)
    assert first == items and first is not items and first is not second


@pytest.mark.parametrize("value, expected", QUERY_TEXT)
def test_query_text(value, expected):
    assert p._query_text(value) == expected


@pytest.mark.parametrize("value, expected", ORDER_DESC)
def test_order_desc(value, expected):
    assert p.order_desc(value) is expected


@pytest.mark.parametrize("value, expected", TRUTHY)
def test_truthy(value, expected):
    assert p.truthy(value) is expected


@pytest.mark.parametrize(
    "value, default, expected",
    [(None, True, True), (None, 1, True), (None, "x", True), (None, "", False), (None, [], False),
     ("no", True, False), (False, True, False), ("yes", False, True)],  # only none looks at the default
)  # fmt: skip
def test_truthy_default(value, default, expected):
    assert p.truthy(value, default=default) is expected


@pytest.mark.parametrize("input_data, kwargs, expected", MARKET)
def test_market(input_data, kwargs, expected):
    result = p._market(input_data, **kwargs)
    assert result == expected and type(result) is str


@pytest.mark.parametrize("value, expected", INT)
def test_int(value, expected):
    assert p._int(value, -1) == expected


def test_int_lets_overflow_and_foreign_errors_through():
    for value in (float("inf"), float("-inf")):
        with pytest.raises(OverflowError):
            p._int(value, 0)
    with pytest.raises(Boom):
        p._int(Hostile("int"), 0)


@pytest.mark.parametrize(
    "default, expected", [(5, 5), (2.9, 2), (-2.9, -2), (True, 1), (False, 0), (10**30, 10**30), (1e20, 10**20)]
)
def test_int_default_is_converted_first(default, expected):
    result = p._int("x", default)
    assert result == expected and type(result) is int
    assert p._int("4", default) == 4


@pytest.mark.parametrize("default, got", [("3", "str"), (None, "NoneType"), ([1], "list"), (b"1", "bytes"), ({}, "dict")])
def test_int_default_of_another_kind(default, got):
    for value in ("x", 4):  # checked even when the value itself converts
        with pytest.raises(TypeError) as info:
            p._int(value, default)
        assert str(info.value) == f"Argument 'default' has incorrect type (expected int, got {got})"


@pytest.mark.parametrize("default, error", [(float("nan"), ValueError), (float("inf"), OverflowError)])
def test_int_default_that_cannot_convert(default, error):
    with pytest.raises(error):
        p._int("x", default)


@pytest.mark.parametrize("values, expected", JSON_LIKE_LIST)
def test_json_like_list(values, expected):
    assert p.json_like_list(values) == expected


@pytest.mark.parametrize("payload, expected", FLATTEN)
def test_flatten_query(payload, expected):
    before = copy.deepcopy(payload)
    result = p._flatten_query(payload)
    assert list(result.items()) == list(expected.items())
    assert all(type(v) is str for v in result.values())
    assert payload == before


# --- hostile values ------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda h: p.csv(h), lambda h: p.csv([h]), lambda h: p._query_text(h), lambda h: p._query_text(["a", h]),
        lambda h: p.order_desc(h), lambda h: p.truthy(h), lambda h: p.truthy(None, default=h),
        lambda h: p._market({"market": h}), lambda h: p._market({"site": h}), lambda h: p.json_like_list(["a", h]),
        lambda h: p._flatten_query({"a": h}), lambda h: p._flatten_query({"o": {"k": h}}),
        lambda h: p._flatten_query({"l": [h]}),
    ],
)  # fmt: skip
def test_raising_str_and_bool_propagate(call):
    with pytest.raises(Boom):
        call(Hostile("str", "bool"))


def test_raising_eq_of_a_colliding_key_propagates():
    with pytest.raises(Boom):
        p._market({CollidingKey("market"): "us"})
    with pytest.raises(Boom):
        p._market({"market": "", CollidingKey("site"): "us"})


@pytest.mark.parametrize(
    "call",
    [lambda d: p._market(d), lambda d: p._flatten_query(d), lambda d: p.csv(d["l"]), lambda d: p._query_text(d["l"]),
     lambda d: p.json_like_list(d["l"])],
)  # fmt: skip
def test_mutating_the_argument_during_the_call_does_not_crash(call):
    data = {"market": None, "site": None, "a": "x", "o": {"k": None}, "l": ["a", None, "b"]}
    # Each hook rebuilds the container it sits in while being read.
    data["market"] = Mutator(data, "us")
    data["o"]["k"] = Mutator(data["o"])
    data["l"][1] = Mutator(data["l"])
    data["site"] = Mutator(data)
    result = call_quietly(call, data)
    assert not isinstance(result, Exception) or isinstance(result, RuntimeError)


def reordered():
    child = OrderedDict(a=1, b=2)
    child.move_to_end("a")
    return child


class SharedItems(dict):
    """A dict subclass whose items() hands out a list it keeps, and whose
    values empty that list while they are shown."""

    def __init__(self):
        super().__init__()
        self.shared = [("k", Mutator([])), ("j", 2)]
        self.shared[0][1].target = self.shared

    def items(self):
        return self.shared


def test_dict_subclass_children_keep_their_own_order():
    assert list(p._flatten_query({"o": reordered()}).items()) == [("o[b]", "2"), ("o[a]", "1")]
    result = call_quietly(p._flatten_query, {"o": SharedItems()})
    assert isinstance(result, (dict, TypeError))

    class Bad(dict):
        def items(self):
            return [("k", 1, 2)]

    with pytest.raises(TypeError):
        p._flatten_query({"o": Bad()})


def test_str_subclass_from_str_is_read_as_plain_text():
    value = ShowsAs(StrSub(" us, x "))
    flat = p._flatten_query({"a": value, "o": {"k": value}})
    results = [p.csv(value), p.csv([value]), p._query_text(value), p._market({"market": value}), flat]
    assert results == [["us", "x"], ["us, x"], "us, x", " US, X ", {"a": " us, x ", "o[k]": " us, x "}]
    assert all(type(r) is str for r in [*results[0], *results[1], results[2], results[3], *flat.values()])
