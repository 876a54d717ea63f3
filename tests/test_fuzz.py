"""Hostile-input fuzzing of every entry point that reads option values.

Option maps with nested values of every kind (big ints, floats with nan/inf/-0.0,
non-BMP text and lone surrogates, nested lists, dicts and tuples, bytes) and
objects whose __str__/__bool__/__eq__/__hash__ raise or change the very map
being read go through every builder, build_referer, the coercion and market
functions and the category parsing and matching. What must hold: nothing
crashes, an exception is one the interpreter's own semantics would raise (or the
hostile object's own), and the input is unchanged unless a hostile object
changed it.
"""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zentrik.seller_sprite.api import payloads

categories = pytest.importorskip("zentrik.seller_sprite.api.categories")

# Lighter under the sanitizer build, where every call is several times slower.
EXAMPLES = 25 if os.environ.get("ZENTRIK_SANITIZER") else 150
FUZZ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))


class Fault(Exception):
    """Raised by hostile objects, and only by them."""


class Hostile:
    """Misbehaves in one way: a protocol method raises, or changes the map."""

    def __init__(self, how: str, target: dict | None = None) -> None:
        self.how = how
        self.target = target
        self.mutated = False

    def _act(self, method: str):
        if self.how == "raise-" + method:
            raise Fault(method)
        if self.how == "mutate-" + method and self.target is not None:
            self.mutated = True
            self.target.clear()
            self.target["market"] = "us"
            self.target["page"] = Hostile("raise-int")

    def __str__(self) -> str:
        self._act("str")
        return "hostile"

    __repr__ = __str__

    def __bool__(self) -> bool:
        self._act("bool")
        return True

    def __eq__(self, other: object) -> bool:
        self._act("eq")
        return self is other

    def __hash__(self) -> int:
        self._act("hash")
        return 1

    def __int__(self) -> int:
        self._act("int")
        return 3

    def __index__(self) -> int:
        self._act("int")
        return 3


HOWS = [f"{kind}-{m}" for kind in ("raise", "mutate") for m in ("str", "bool", "eq", "hash", "int")]

OPTION_NAMES = [
    "market", "site", "month", "period", "monthName", "asins", "page", "startPage", "node", "nodeIdPaths",
    "nodeIdPath", "category", "size", "pageSize", "orderField", "orderDesc", "lowPrice", "keywords", "keyword",
    "brand", "sellerName", "historyDate", "q", "marketId", "pageNum", "orderBy", "desc", "filterRootWord",
    "rootWord", "filterRootWordEnabled", "matchType", "amazonChoice", "keywordBidMatchType",
    "includeHighFrequency", "groupNum", "asin", "limit", "skip", "badges", "conversionKeywordTypes",
    "trafficKeywordTypes", "order", "exactly", "filterDeletedKeywords", "keywordOrAsin", "pageNo", "selectType",
    "filterSub", "weightUnit", "productTags", "sellerTypes", "eligibility", "pkgDimensionTypeList",
    "sellerNationList", "smallAndLight", "putawayMonth", "video", "recommendationMode", "mode", "推荐模式",
    "badgeBS", "badgeAC", "badgeNR", "newReleaseNum", "newRelease", "minUnits", "availableMonth", "variation",
    "minPrice", "priceMin", "maxReviews", "topn", "topN", "sampleNumber", "tab", "order.desc",
    "departmentKeyword", "minAvgSales", "sellerNations", "includeBrands", "excludeKeywords",
]

text = st.text(st.characters(codec=None, categories=None), max_size=12)  # surrogates and non-BMP included
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=-(10**40), max_value=10**40),
    st.floats(allow_nan=True, allow_infinity=True),
    st.just(-0.0),
    text,
    st.sampled_from(["us", "jp", "2026-03", "30d", "yes", "FALSE", " 12 ", "1_000", "a, b,,c", "低价商品",
                     "low-price-long-tail", "3m", "ın", "１２"]),
    st.binary(max_size=6),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(text, inner, max_size=4),
        st.tuples(inner, inner),
    ),
    max_leaves=8,
)


@st.composite
def option_maps(draw, hostile: bool):
    keys = draw(st.lists(st.one_of(st.sampled_from(OPTION_NAMES), text), max_size=10, unique=True))
    data = {k: draw(values) for k in keys}
    hostiles = []
    if hostile and keys:
        for key in draw(st.lists(st.sampled_from(keys), min_size=1, max_size=3, unique=True)):
            h = Hostile(draw(st.sampled_from(HOWS)), data)
            hostiles.append(h)
            shape = draw(st.integers(0, 2))  # drawn by index: hostile objects are not hashed by the strategy
            data[key] = (h, [h], {"field": h})[shape]
    return data, hostiles


def snapshot(value, depth=0):
    """A structural copy that keeps unknown objects by identity."""
    if isinstance(value, dict):
        return ("dict", [(k, snapshot(v, depth + 1)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [snapshot(v, depth + 1) for v in value])
    if isinstance(value, float) and value != value:
        return ("nan",)
    if isinstance(value, (str, bytes, int, float, type(None))):
        return (type(value).__name__, value)
    return ("id", id(value))


# What the interpreter itself raises for such values: str() of lone surrogates
# encoded for a query, int() of an infinite float, a dict changed while read.
ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, Fault)

BUILDERS = [
    payloads.make_competitor_payload,
    payloads.make_keyword_miner_payload,
    payloads.make_keyword_reverse_payload,
    payloads.make_traffic_source_payload,
    payloads.make_product_research_payload,
    payloads.make_market_research_payload,
    payloads.normalize_product_research_input,
    payloads.product_research_recommendation_preset,
    payloads.new_release_num,
]
SCENARIOS = ["competitor-lookup", "product-research", "keyword-miner", "keyword-reverse", "traffic-source",
             "market-research", "Keyword-Miner"]
UNARY = [payloads.csv, payloads._query_text, payloads.order_desc, payloads.truthy, payloads.market_id,
         payloads.market_research_market_id, payloads.station_from_market_id, payloads.traffic_source_market,
         payloads.traffic_source_market_id, payloads.month_name, payloads.history_date]


def run_all(data: dict) -> None:
    for fn in BUILDERS:
        try:
            fn(data)
        except ALLOWED:
            pass
    for scenario in SCENARIOS:
        try:
            payloads.build_referer(data, scenario)
        except ALLOWED:
            pass
    for fn in (payloads._flatten_query, payloads._market):
        try:
            fn(data)
        except ALLOWED:
            pass
    for value in list(data.values()):
        for fn in UNARY:
            try:
                fn(value)
            except ALLOWED:
                pass
        try:
            payloads._int(value, 5)
        except ALLOWED:
            pass
    try:
        categories._category_key(data)
        categories._parse_node(data, parent_path="1:2")
        categories._label(data)
        categories._parse_nodes({"items": [data, data]}, parent_path="")
    except ALLOWED:
        pass


@FUZZ
@given(option_maps(hostile=False))
def test_plain_values_never_crash_nor_change_the_input(case):
    data, _ = case
    before = snapshot(data)
    run_all(data)
    assert snapshot(data) == before


@FUZZ
@given(option_maps(hostile=True))
def test_hostile_values_never_crash(case):
    data, hostiles = case
    before = snapshot(data)
    run_all(data)
    if not any(h.mutated for h in hostiles):
        assert snapshot(data) == before


@FUZZ
@given(st.lists(st.one_of(text, st.sampled_from(["Kitchen", "home：kitchen", " A : B "])), max_size=6), text)
def test_category_matching_never_crashes(labels, typed):
    node = categories.CategoryNode
    nodes = [node(id=str(i), node_id_path=str(i), label=label, label_path="Root:" + label, has_children=False)
             for i, label in enumerate(labels)]
    try:
        found = categories._exact_matches(typed, nodes)
    except UnicodeError:
        return  # lone surrogates cannot be case-folded by the interpreter either
    assert all(n in nodes for n in found)
    with pytest.raises(Exception) as info:
        categories._raise_match_error(typed, nodes, scope="全部类目")
    assert type(info.value).__name__ == "SellerSpriteConfigError"


# Differential properties: where the modules apply the interpreter's own
# semantics, they agree with it.

@FUZZ
@given(st.one_of(scalars, st.lists(scalars, max_size=3), st.dictionaries(text, scalars, max_size=3)))
def test_text_form_is_str(value):
    expected = str(value).strip()
    got = payloads.csv([value])
    assert got == ([expected] if expected else [])


@FUZZ
@given(st.one_of(scalars, text.map(lambda t: "\x1c " + t + "\u3000")))
def test_integer_conversion_is_int(value):
    sentinel = -987654321
    try:
        # A text is trimmed first: the whitespace of trimming, U+001C..U+001F
        # included (which int() alone does not skip), is ignored around it.
        expected = int(value.strip() if isinstance(value, str) else value)
    except (TypeError, ValueError):
        expected = sentinel
    except OverflowError:
        with pytest.raises(OverflowError):
            payloads._int(value, sentinel)
        return
    assert payloads._int(value, sentinel) == expected


@FUZZ
@given(text)
def test_trim_is_strip(value):
    assert payloads._query_text(value) == value.strip()


@FUZZ
@given(st.dictionaries(st.text(max_size=6), st.one_of(st.none(), st.booleans(), st.integers(), st.floats(),
                                                       st.text(max_size=8),
                                                       st.lists(st.text(max_size=4), max_size=3),
                                                       st.dictionaries(st.text(max_size=4), st.text(max_size=4),
                                                                       max_size=2)),
                       max_size=6))
def test_form_encoding_is_urlencode(payload):
    from urllib.parse import urlencode

    query = urlencode(payloads._flatten_query(payload))
    assert payloads.build_referer(payload, "competitor-lookup") == (
        "https://www.sellersprite.com/v3/competitor-lookup?" + query)
    assert payloads.build_referer(payload, "market-research") == (
        "https://www.sellersprite.com/v2/market-research?" + query)


@FUZZ
@given(st.text(st.sampled_from("0123456789٣०１:: \t\n\u3000a"), max_size=12))
def test_node_path_pattern_agrees_with_the_matcher(value):
    import asyncio

    class Client:
        calls = 0

        async def category_nodes(self, **kwargs):
            Client.calls += 1
            return {"items": []}

    resolver = categories.SellerSpriteCategoryResolver(Client())
    trimmed = value.strip()
    is_path = categories.NODE_PATH_RE.fullmatch(trimmed) is not None
    try:
        result = asyncio.run(resolver.resolve(value, market=1, table="t"))
    except Exception as exc:  # noqa: BLE001
        assert type(exc).__name__ == "SellerSpriteConfigError"
        assert not is_path and trimmed
        return
    if is_path:
        assert result == trimmed and Client.calls == 0
    else:
        assert result == "" and not trimmed
