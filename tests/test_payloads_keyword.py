"""The keyword miner, keyword reverse and traffic source payloads."""

from __future__ import annotations

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zentrik.seller_sprite.api import payloads as p
from conftest import first_truthy

miner = p.make_keyword_miner_payload
reverse = p.make_keyword_reverse_payload
traffic = p.make_traffic_source_payload

MINER_KEYS = [
    "keyword", "market", "pageNum", "pageSize", "historyDate", "orderBy", "desc", "filterRootWord", "matchType",
    "amazonChoice", "keywordBidMatchType", "includeHighFrequency", "groupNum",
]  # fmt: skip
REVERSE_KEYS = [
    "asin", "market", "limit", "skip", "page", "month", "badges", "conversionKeywordTypes", "trafficKeywordTypes",
    "order", "desc", "exactly", "keywordBidMatchType", "filterDeletedKeywords",
]  # fmt: skip
TRAFFIC_KEYS = ["keywordOrAsin", "market", "pageNo", "pageSize", "order", "desc", "month"]


def typed(payload):
    """Items with their exact types, so that 1 and True (or "1" and 1) differ."""
    return [(k, type(v), v) for k, v in payload.items()]


# --- empty options ------------------------------------------------------------------

EMPTY = [
    (
        miner,
        [
            ("keyword", "flashlight"), ("market", 6), ("pageNum", 1), ("pageSize", 100), ("historyDate", ""),
            ("orderBy", 5), ("desc", True), ("filterRootWord", 0), ("matchType", 0), ("amazonChoice", False),
            ("keywordBidMatchType", "exact"), ("includeHighFrequency", True), ("groupNum", 1),
        ],
    ),
    (
        reverse,
        [
            ("asin", "B07YRMT36L"), ("market", "JP"), ("limit", 100), ("skip", 0), ("page", 1), ("month", ""),
            ("badges", []), ("conversionKeywordTypes", []), ("trafficKeywordTypes", []), ("order", 12),
            ("desc", True), ("exactly", False), ("keywordBidMatchType", "exact"), ("filterDeletedKeywords", False),
        ],
    ),
    (
        traffic,
        [("keywordOrAsin", ""), ("market", "COM"), ("pageNo", 1), ("pageSize", 100), ("order", 10), ("desc", True),
         ("month", "")],
    ),
]  # fmt: skip


@pytest.mark.parametrize("make, expected", EMPTY, ids=["miner", "reverse", "traffic"])
def test_empty_options(make, expected):
    payload = make({})
    assert typed(payload) == [(k, type(v), v) for k, v in expected]


@pytest.mark.parametrize("make", [miner, reverse], ids=["miner", "reverse"])
def test_each_call_builds_new_lists(make):
    first = make({})
    for value in first.values():
        if isinstance(value, list):
            value.append("x")
    first["market"] = "changed"
    assert make({}) == make({}) != first


# --- keyword miner ------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, key, expected",
    [
        # the market: a truthy marketId is only converted, else the code's id
        ({"market": "us"}, "market", 1),
        ({"site": "de"}, "market", 4),
        ({"market": "", "site": "mx"}, "market", 11),
        ({"market": "BR"}, "market", 6),
        ({"market": "gb"}, "market", 6),
        ({"marketId": "3", "market": "US"}, "market", 3),
        ({"marketId": 0, "market": "FR"}, "market", 5),
        ({"marketId": "", "site": "it"}, "market", 8),
        ({"marketId": "US"}, "market", 6),
        ({"marketId": "US", "market": "FR"}, "market", 6),
        ({"marketId": " 7 "}, "market", 7),
        ({"marketId": 4.9}, "market", 4),
        ({"marketId": True}, "market", 1),
        ({"marketId": 10**25}, "market", 10**25),
        # pages: pageNum, then page, then startPage
        ({"page": 2}, "pageNum", 2),
        ({"pageNum": 3, "page": 2, "startPage": 4}, "pageNum", 3),
        ({"page": 2, "startPage": 4}, "pageNum", 2),
        ({"pageNum": 0, "startPage": 4}, "pageNum", 4),
        ({"pageNum": 0, "page": "", "startPage": 0}, "pageNum", 0),
        ({"page": "abc", "startPage": 3}, "pageNum", 1),
        ({"size": 20}, "pageSize", 20),
        ({"pageSize": "50", "size": 20}, "pageSize", 50),
        ({"pageSize": 0, "size": 0}, "pageSize", 0),
        ({"size": "1.5"}, "pageSize", 100),
        # the month: historyDate, then month, then monthName, else the latest 30 days
        ({"month": "2026-03"}, "historyDate", "202603"),
        ({"historyDate": "bsr_sales_monthly_202604"}, "historyDate", "202604"),
        ({"historyDate": "2026-01", "month": "2026-02", "monthName": "2026-04"}, "historyDate", "202601"),
        ({"month": "2026-02", "monthName": "2026-04"}, "historyDate", "202602"),
        ({"monthName": "2026-04"}, "historyDate", "202604"),
        ({"historyDate": "", "month": "latest30"}, "historyDate", ""),
        ({"historyDate": "30d"}, "historyDate", ""),
        ({"month": "last30"}, "historyDate", ""),
        ({"month": 202605}, "historyDate", "202605"),
        # orderBy has no alternative names: a falsy number is still converted
        ({"orderBy": 0}, "orderBy", 0),
        ({"orderBy": ""}, "orderBy", 5),
        ({"orderBy": " 3 "}, "orderBy", 3),
        ({"orderBy": True}, "orderBy", 1),
        ({"desc": "False"}, "desc", False),
        ({"desc": False}, "desc", False),
        ({"desc": "no"}, "desc", True),
        ({"desc": 0}, "desc", True),
        # filterRootWord: a present value wins over the two flags
        ({"filterRootWord": 0, "rootWord": "yes"}, "filterRootWord", 0),
        ({"rootWord": "yes"}, "filterRootWord", 1),
        ({"rootWord": "Y"}, "filterRootWord", 1),
        ({"filterRootWordEnabled": "true"}, "filterRootWord", 1),
        ({"rootWord": "no", "filterRootWordEnabled": 1}, "filterRootWord", 1),
        ({"rootWord": "on", "filterRootWordEnabled": "2"}, "filterRootWord", 0),
        ({"filterRootWord": "yes"}, "filterRootWord", 0),
        ({"filterRootWord": None, "rootWord": "yes"}, "filterRootWord", 1),
        ({"filterRootWord": "", "rootWord": "yes"}, "filterRootWord", 0),
        ({"filterRootWord": "2"}, "filterRootWord", 2),
        ({"filterRootWord": True}, "filterRootWord", 1),
        ({"filterRootWord": 1.9}, "filterRootWord", 1),
        ({"matchType": "2"}, "matchType", 2),
        ({"matchType": False}, "matchType", 0),
        ({"matchType": "x"}, "matchType", 0),
        ({"amazonChoice": "yes"}, "amazonChoice", True),
        ({"amazonChoice": "on"}, "amazonChoice", False),
        ({"amazonChoice": 1}, "amazonChoice", True),
        ({"keywordBidMatchType": "phrase"}, "keywordBidMatchType", "phrase"),
        ({"keywordBidMatchType": ""}, "keywordBidMatchType", "exact"),
        ({"keywordBidMatchType": 0}, "keywordBidMatchType", "exact"),
        ({"includeHighFrequency": None}, "includeHighFrequency", True),
        ({"includeHighFrequency": "no"}, "includeHighFrequency", False),
        ({"includeHighFrequency": False}, "includeHighFrequency", False),
        ({"includeHighFrequency": ""}, "includeHighFrequency", False),
        ({"includeHighFrequency": 0}, "includeHighFrequency", False),
        ({"includeHighFrequency": "Y"}, "includeHighFrequency", True),
        ({"includeHighFrequency": "1"}, "includeHighFrequency", True),
        ({"includeHighFrequency": "true"}, "includeHighFrequency", True),
        ({"groupNum": "4"}, "groupNum", 4),
        ({"groupNum": 0}, "groupNum", 0),
        ({"groupNum": []}, "groupNum", 1),
        ({"keyword": "", "q": "lamp"}, "keyword", "lamp"),
        ({"keyword": "torch", "q": "lamp"}, "keyword", "torch"),
        ({"keyword": 0, "q": ""}, "keyword", "flashlight"),
        ({"keyword": " padded "}, "keyword", " padded "),
    ],
)
def test_keyword_miner_options(options, key, expected):
    payload = miner(options)
    assert list(payload) == MINER_KEYS
    assert payload[key] == expected
    assert type(payload[key]) is type(expected)


def test_keyword_miner_places_unchanged_values_as_the_option_objects():
    keyword, match = ["a", " b "], ["exact"]
    payload = miner({"keyword": keyword, "keywordBidMatchType": match})
    assert payload["keyword"] is keyword and payload["keyword"] == ["a", " b "]
    assert payload["keywordBidMatchType"] is match
    assert miner({"keyword": "", "q": keyword})["keyword"] is keyword


def test_keyword_miner_ignores_other_options():
    payload = miner({"asin": "B0", "limit": 5, "skip": 3, "badges": "a", "order": 1, "exactly": "yes"})
    assert payload == miner({})


# --- keyword reverse ----------------------------------------------------------------


@pytest.mark.parametrize(
    "options, limit, skip, page",
    [
        ({"page": 3}, 100, 200, 3),
        ({"page": 3, "limit": 50}, 50, 100, 3),
        ({"page": 3, "limit": 50, "skip": 7}, 50, 7, 3),
        ({"page": 3, "skip": 0}, 100, 0, 3),
        ({"page": 2, "skip": "x"}, 100, 100, 2),
        ({"page": 2, "skip": None}, 100, 100, 2),
        ({"page": 2, "skip": " 5 "}, 100, 5, 2),
        ({"page": 2, "skip": 2.9}, 100, 2, 2),
        ({"page": 2, "skip": -4}, 100, -4, 2),
        # nothing is clamped
        ({"page": "0"}, 100, -100, 0),
        ({"page": "-2", "limit": 10}, 10, -30, -2),
        ({"page": 3, "limit": "-5"}, -5, -10, 3),
        # integer arithmetic well beyond 64 bits
        ({"page": 10**20, "limit": 10**10}, 10**10, (10**20 - 1) * 10**10, 10**20),
        # limit, then size, then pageSize; page, then pageNum, then startPage
        ({"limit": 10, "size": 20, "pageSize": 30}, 10, 0, 1),
        ({"size": 20, "pageSize": 30}, 20, 0, 1),
        ({"limit": 0, "size": "", "pageSize": 30}, 30, 0, 1),
        ({"limit": 0}, 100, 0, 1),
        ({"pageSize": 0, "page": 3}, 0, 0, 3),
        ({"limit": "ten"}, 100, 0, 1),
        ({"page": 4, "pageNum": 5, "startPage": 6}, 100, 300, 4),
        ({"pageNum": 5, "startPage": 6}, 100, 400, 5),
        ({"startPage": 6}, 100, 500, 6),
        ({"page": 0, "pageNum": 0, "startPage": 0}, 100, -100, 0),
        ({"page": "x", "pageNum": 5}, 100, 0, 1),
        ({"page": True, "limit": True}, 1, 0, 1),
    ],
)
def test_keyword_reverse_skip_arithmetic(options, limit, skip, page):
    payload = reverse(options)
    assert list(payload) == REVERSE_KEYS
    assert [(payload[k], type(payload[k])) for k in ("limit", "skip", "page")] == [
        (limit, int), (skip, int), (page, int)
    ]


@pytest.mark.parametrize(
    "options, key, expected",
    [
        # the market codes win over marketId, which only picks the fallback code
        ({"marketId": 4}, "market", "DE"),
        ({"marketId": "4"}, "market", "DE"),
        ({"marketId": 4, "market": "us"}, "market", "US"),
        ({"marketId": 4, "site": "fr"}, "market", "FR"),
        ({"marketId": 4, "market": "", "site": ""}, "market", "DE"),
        ({"marketId": "abc"}, "market", "JP"),
        ({"marketId": 0}, "market", "JP"),
        ({"marketId": 11}, "market", "MX"),
        ({"marketId": 2}, "market", "2"),
        ({"marketId": "12"}, "market", "12"),
        ({"marketId": 3.5}, "market", "UK"),
        ({"market": "gb"}, "market", "GB"),
        ({"site": "it"}, "market", "IT"),
        ({"market": 7}, "market", "7"),
        ({"asin": "", "q": " B0X "}, "asin", " B0X "),
        ({"asin": "B01", "q": "B02"}, "asin", "B01"),
        ({"asin": 0, "q": 0}, "asin", "B07YRMT36L"),
        ({"badges": " a, b ,,c "}, "badges", ["a", "b", "c"]),
        ({"badges": [" x ", "", None, 5]}, "badges", ["x", "None", "5"]),
        ({"badges": ["a,b"]}, "badges", ["a,b"]),
        ({"conversionKeywordTypes": "t1,t2"}, "conversionKeywordTypes", ["t1", "t2"]),
        ({"trafficKeywordTypes": ["s "]}, "trafficKeywordTypes", ["s"]),
        ({"trafficKeywordTypes": 0}, "trafficKeywordTypes", []),
        ({"month": "2026-03"}, "month", "202603"),
        ({"historyDate": "2026-01", "month": "2026-03"}, "month", "202601"),
        ({"month": "2026-03", "monthName": "2026-04"}, "month", "202603"),
        ({"monthName": "bsr_sales_monthly_2026-04"}, "month", "2026-04"),
        ({"month": "nearly"}, "month", ""),
        ({"order": "x"}, "order", 12),
        ({"order": 0}, "order", 0),
        ({"order": "3"}, "order", 3),
        ({"desc": "FALSE"}, "desc", False),
        ({"desc": " false"}, "desc", True),
        ({"exactly": "yes"}, "exactly", True),
        ({"exactly": "no"}, "exactly", False),
        ({"exactly": ""}, "exactly", False),
        ({"exactly": None}, "exactly", False),
        ({"keywordBidMatchType": "broad"}, "keywordBidMatchType", "broad"),
        ({"keywordBidMatchType": False}, "keywordBidMatchType", "exact"),
        ({"filterDeletedKeywords": "TRUE"}, "filterDeletedKeywords", True),
        ({"filterDeletedKeywords": "1.0"}, "filterDeletedKeywords", False),
    ],
)
def test_keyword_reverse_options(options, key, expected):
    payload = reverse(options)
    assert list(payload) == REVERSE_KEYS
    assert payload[key] == expected
    assert type(payload[key]) is type(expected)


def test_keyword_reverse_places_unchanged_values_as_the_option_objects():
    asin, match = ["B01", "B02"], {"m": 1}
    payload = reverse({"asin": asin, "keywordBidMatchType": match})
    assert payload["asin"] is asin and payload["keywordBidMatchType"] is match
    assert reverse({"q": asin})["asin"] is asin


def test_keyword_reverse_payload_makes_its_referer():
    payload = reverse({"asin": "B07YRMT36L", "market": "us", "badges": "a, b", "month": "2026-03"})
    assert p.build_referer(payload, "keyword-reverse").endswith(
        "/v3/keyword-reverse/?q=B07YRMT36L&marketId=1&date=202603&badges=a%2Cb"
    )


# --- traffic source -----------------------------------------------------------------


@pytest.mark.parametrize(
    "options, key, expected",
    [
        ({"asins": [" B01 ", "", "B02"]}, "keywordOrAsin", "B01,B02"),
        ({"asins": "B01, B02"}, "keywordOrAsin", "B01, B02"),
        ({"keyword": "lamp", "asin": "B01", "asins": ["B02"]}, "keywordOrAsin", "lamp"),
        ({"keywordOrAsin": "kw", "keyword": "lamp", "asin": "B01", "asins": ["B02"], "q": "q"}, "keywordOrAsin", "kw"),
        ({"keywordOrAsin": "", "keyword": 0, "asin": "B01"}, "keywordOrAsin", "B01"),
        ({"asin": "", "asins": [], "q": " query "}, "keywordOrAsin", "query"),
        ({"keyword": " red shoes "}, "keywordOrAsin", "red shoes"),
        ({"keywordOrAsin": ["a", " b "]}, "keywordOrAsin", "a,b"),
        ({"asin": 123}, "keywordOrAsin", "123"),
        ({"q": 0}, "keywordOrAsin", ""),
        ({"q": ["", " "]}, "keywordOrAsin", ""),
        ({"market": "de"}, "market", "DE"),
        ({"site": "us"}, "market", "COM"),
        ({"market": "", "site": "uk"}, "market", "UK"),
        ({"market": "gb"}, "market", "GB"),
        ({"market": "com"}, "market", "COM"),
        ({"market": 5}, "market", "5"),
        ({"pageNo": 2, "page": 3, "startPage": 4}, "pageNo", 2),
        ({"page": 3, "startPage": 4}, "pageNo", 3),
        ({"startPage": "4"}, "pageNo", 4),
        ({"page": "x", "startPage": 4}, "pageNo", 1),
        ({"pageNo": 0, "page": 0, "startPage": 0}, "pageNo", 0),
        ({"pageSize": 20, "size": 30}, "pageSize", 20),
        ({"size": 30}, "pageSize", 30),
        ({"order": 0}, "order", 0),
        ({"order": "x"}, "order", 10),
        ({"order": "7"}, "order", 7),
        ({"desc": False}, "desc", False),
        ({"desc": "asc"}, "desc", True),
        ({"historyDate": "30d"}, "month", ""),
        ({"month": "2026-03"}, "month", "202603"),
        ({"historyDate": "2026-01", "month": "2026-03"}, "month", "202601"),
        ({"month": "2026-03", "monthName": "2026-04"}, "month", "202603"),
        ({"monthName": "2026-04"}, "month", "202604"),
    ],
)
def test_traffic_source_options(options, key, expected):
    payload = traffic(options)
    assert list(payload) == TRAFFIC_KEYS
    assert payload[key] == expected
    assert type(payload[key]) is type(expected)


def test_traffic_source_payload_makes_its_referer():
    payload = traffic({"asin": "B07YRMT36L", "site": "us", "month": "2026-04"})
    assert p.build_referer(payload, "traffic-source").endswith(
        "/v3/reversing/sources?asin=B07YRMT36L&marketId=1&date=202604"
    )


# --- against the definitions, composed of the module's own coercions ------------------


def expected_miner(o):
    month = first_truthy(o, "historyDate", "month", "monthName") or "nearly"
    if o.get("marketId"):
        market = p._int(o["marketId"], 6)
    else:
        market = p._int(p.market_id(p._market(o, default="JP")), 6)
    if o.get("filterRootWord") is not None:
        root = p._int(o["filterRootWord"], 0)
    else:
        root = 1 if p.truthy(o.get("rootWord")) or p.truthy(o.get("filterRootWordEnabled")) else 0
    return {
        "keyword": first_truthy(o, "keyword", "q") or "flashlight",
        "market": market,
        "pageNum": p._int(first_truthy(o, "pageNum", "page", "startPage"), 1),
        "pageSize": p._int(first_truthy(o, "pageSize", "size"), 100),
        "historyDate": p.history_date(month),
        "orderBy": p._int(o.get("orderBy"), 5),
        "desc": p.order_desc(o.get("desc")),
        "filterRootWord": root,
        "matchType": p._int(o.get("matchType"), 0),
        "amazonChoice": p.truthy(o.get("amazonChoice")),
        "keywordBidMatchType": o.get("keywordBidMatchType") or "exact",
        "includeHighFrequency": p.truthy(o.get("includeHighFrequency"), default=True),
        "groupNum": p._int(o.get("groupNum"), 1),
    }


def expected_reverse(o):
    limit = p._int(first_truthy(o, "limit", "size", "pageSize"), 100)
    page = p._int(first_truthy(o, "page", "pageNum", "startPage"), 1)
    skip = p._int(o.get("skip"), (page - 1) * limit)
    month = first_truthy(o, "historyDate", "month", "monthName") or "nearly"
    market = p._market(o, default=p.station_from_market_id(o.get("marketId") or 6))
    return {
        "asin": first_truthy(o, "asin", "q") or "B07YRMT36L",
        "market": market,
        "limit": limit,
        "skip": skip,
        "page": page,
        "month": p.history_date(month),
        "badges": p.csv(o.get("badges")),
        "conversionKeywordTypes": p.csv(o.get("conversionKeywordTypes")),
        "trafficKeywordTypes": p.csv(o.get("trafficKeywordTypes")),
        "order": p._int(o.get("order"), 12),
        "desc": p.order_desc(o.get("desc")),
        "exactly": p.truthy(o.get("exactly")),
        "keywordBidMatchType": o.get("keywordBidMatchType") or "exact",
        "filterDeletedKeywords": p.truthy(o.get("filterDeletedKeywords")),
    }


def expected_traffic(o):
    month = first_truthy(o, "historyDate", "month", "monthName") or "nearly"
    return {
        "keywordOrAsin": p._query_text(first_truthy(o, "keywordOrAsin", "keyword", "asin", "asins", "q")),
        "market": p.traffic_source_market(p._market(o, default="US")),
        "pageNo": p._int(first_truthy(o, "pageNo", "page", "startPage"), 1),
        "pageSize": p._int(first_truthy(o, "pageSize", "size"), 100),
        "order": p._int(o.get("order"), 10),
        "desc": p.order_desc(o.get("desc")),
        "month": p.history_date(month),
    }


option_values = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-3, max_value=12)
    | st.sampled_from([0.0, 2.5, -1.5, 1e300, float("nan")])
    | st.sampled_from(
        ["", " ", "0", "1", "3", "abc", "us", "de", "Jp", "gb", "com", "2026-03", "30d", "nearly",
         "bsr_sales_monthly_202604", "false", "FALSE", "yes", "Y", "on", " 12 ", "a, b,,c", "１２", "-2", "1_0"]
    )
    | st.lists(st.sampled_from(["", " x ", "y", "a,b", "B01"]), max_size=3)
)  # fmt: skip
NAMES = [
    "keyword", "q", "marketId", "market", "site", "pageNum", "page", "startPage", "pageSize", "size", "historyDate",
    "month", "monthName", "orderBy", "desc", "filterRootWord", "rootWord", "filterRootWordEnabled", "matchType",
    "amazonChoice", "keywordBidMatchType", "includeHighFrequency", "groupNum", "limit", "skip", "asin", "badges",
    "conversionKeywordTypes", "trafficKeywordTypes", "order", "exactly", "filterDeletedKeywords", "keywordOrAsin",
    "asins", "pageNo", "other",
]  # fmt: skip
options_maps = st.dictionaries(st.sampled_from(NAMES), option_values, max_size=12)


@settings(deadline=None, max_examples=400)
@given(options_maps)
@pytest.mark.parametrize(
    "make, expected",
    [(miner, expected_miner), (reverse, expected_reverse), (traffic, expected_traffic)],
    ids=["miner", "reverse", "traffic"],
)
def test_payload_matches_its_definition(make, expected, options):
    before = copy.deepcopy(options)
    assert typed(make(options)) == typed(expected(options))
    assert repr(options) == repr(before)  # repr: a nan option never equals itself
