"""The market research form and its hidden fields."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zentrik.seller_sprite.api import payloads as p
from conftest import first_truthy

make = p.make_market_research_payload

HIDDEN = [
    "minAvgSales", "maxAvgSales", "minAvgBsr", "maxAvgBsr", "minAvgWeight", "maxAvgWeight", "minHeadListingAvgBsr",
    "maxHeadListingAvgBsr", "minTotalProducts", "maxTotalProducts", "minAvgRevenue", "maxAvgRevenue", "minAvgPrice",
    "maxAvgPrice", "minAvgVolume", "maxAvgVolume", "minHeadListingAvgSales", "maxHeadListingAvgSales",
    "minAvgReviews", "maxAvgReviews", "minAvgRating", "maxAvgRating", "minAvgProfit", "maxAvgProfit",
    "minHeadListingAvgRevenue", "maxHeadListingAvgRevenue", "minBrands", "maxBrands", "minHeadListingProductCrn",
    "maxHeadListingProductCrn", "minEbcRatio", "maxEbcRatio", "minAmzRatio", "maxAmzRatio", "minSellers",
    "maxSellers", "minHeadListingBrandCrn", "maxHeadListingBrandCrn", "minFbaRatio", "maxFbaRatio", "sellerNations",
    "minAvgSellers", "maxAvgSellers", "minHeadListingSellerCrn", "maxHeadListingSellerCrn", "minFbmRatio",
    "maxFbmRatio", "minNewRatio", "maxNewRatio", "minNewAvgPrice", "maxNewAvgPrice", "minNewAvgRevenue",
    "maxNewAvgRevenue", "minNewCount", "maxNewCount", "minNewAvgRating", "maxNewAvgRating", "minNewAvgReviews",
    "maxNewAvgReviews", "minNewAvgSales", "maxNewAvgSales",
]  # fmt: skip
BASE = [
    ("marketId", "1"), ("nodeIdPath", ""), ("sampleNumber", "1"), ("topn", "10"), ("newReleaseNum", "6"),
    ("order.field", "total_sales"), ("order.desc", "true"), ("tab", "1"), ("monthName", "bsr_sales_nearly"),
    ("newReleaseNumSelect", "6"), ("topNSelect", "10"), ("page", "1"), ("size", "100"),
]  # fmt: skip
BASE_KEYS = [k for k, _ in BASE]


def typed(payload):
    return [(k, type(v), v) for k, v in payload.items()]


def test_hidden_fields_table():
    table = p.MARKET_RESEARCH_HIDDEN_FIELDS
    assert type(table) is list and table == HIDDEN and len(table) == 61
    assert all(type(name) is str for name in table)
    assert table[40] == "sellerNations"
    assert not set(table) & set(BASE_KEYS + ["departmentKeyword"])


def test_empty_options():
    assert typed(make({})) == [(k, str, v) for k, v in BASE]


@pytest.mark.parametrize(
    "options, changed",
    [
        ({"marketId": 5}, {"marketId": "5"}),
        ({"marketId": 5, "market": "DE"}, {"marketId": "5"}),
        ({"marketId": "abc"}, {"marketId": "abc"}),
        ({"marketId": 0, "market": "DE"}, {"marketId": "4"}),
        ({"market": "DE"}, {"marketId": "4"}),
        ({"site": "mx"}, {"marketId": "771770"}),
        ({"market": "it", "site": "mx"}, {"marketId": "35691"}),
        ({"market": "gb"}, {"marketId": "GB"}),
        ({"market": 7}, {"marketId": "7"}),
        ({"nodeIdPath": " 1:2 "}, {"nodeIdPath": "1:2"}),
        ({"nodeIdPath": "", "node": ["1:2", " 3 ", ""]}, {"nodeIdPath": "1:2,3"}),
        ({"node": 0, "category": "1:5"}, {"nodeIdPath": "1:5"}),
        ({"nodeIdPath": "a", "node": "b", "category": "c"}, {"nodeIdPath": "a"}),
        ({"sampleNumber": 3}, {"sampleNumber": "3"}),
        ({"sampleNumber": 0}, {"sampleNumber": "1"}),
        ({"topN": 20}, {"topn": "20", "topNSelect": "20"}),
        ({"topN": 20, "topNSelect": 50}, {"topn": "20", "topNSelect": "50"}),
        ({"topn": "30", "topN": 20}, {"topn": "30", "topNSelect": "30"}),
        ({"topn": 0, "topN": ""}, {}),
        ({"topn": 2.5}, {"topn": "2.5", "topNSelect": "2.5"}),
        ({"newReleaseNum": "3m"}, {"newReleaseNum": "3", "newReleaseNumSelect": "3"}),
        ({"newRelease": "1个月内上架"}, {"newReleaseNum": "1", "newReleaseNumSelect": "1"}),
        ({"newRelease": 0}, {"newReleaseNum": "0", "newReleaseNumSelect": "0"}),
        ({"newReleaseNum": "12", "newReleaseNumSelect": "x"}, {"newReleaseNum": "12", "newReleaseNumSelect": "x"}),
        ({"orderField": "avg_price"}, {"order.field": "avg_price"}),
        ({"order.field": "avg_bsr"}, {"order.field": "avg_bsr"}),
        ({"orderField": "", "order.field": "avg_bsr"}, {"order.field": "avg_bsr"}),
        ({"orderField": "a", "order.field": "b"}, {"order.field": "a"}),
        ({"orderDesc": "false"}, {"order.desc": "false"}),
        ({"orderDesc": False}, {"order.desc": "true"}),
        ({"orderDesc": False, "order.desc": "FALSE"}, {"order.desc": "false"}),
        ({"order.desc": "False"}, {"order.desc": "false"}),
        ({"orderDesc": "asc", "order.desc": "false"}, {"order.desc": "true"}),
        ({"orderDesc": True}, {"order.desc": "true"}),
        ({"tab": 2}, {"tab": "2"}),
        ({"tab": ""}, {"tab": "1"}),
        ({"monthName": "bsr_sales_monthly_202601", "month": "2026-02"}, {"monthName": "bsr_sales_monthly_202601"}),
        ({"month": "2026-02"}, {"monthName": "bsr_sales_monthly_202602"}),
        ({"period": "2026-02"}, {"monthName": "bsr_sales_monthly_202602"}),
        ({"month": "", "period": "latest30"}, {"monthName": "bsr_sales_nearly"}),
        ({"month": "2026-03", "period": "2026-02"}, {"monthName": "bsr_sales_monthly_202603"}),
        ({"page": "x"}, {"page": "1"}),
        ({"page": "x", "startPage": 4}, {"page": "1"}),
        ({"page": 0, "startPage": 4}, {"page": "4"}),
        ({"startPage": 0}, {"page": "0"}),
        ({"page": " 3 "}, {"page": "3"}),
        ({"size": 50.7}, {"size": "50"}),
        ({"size": "", "pageSize": "20"}, {"size": "20"}),
        ({"size": True}, {"size": "1"}),
    ],
)
def test_base_keys(options, changed):
    payload = make(options)
    assert list(payload) == BASE_KEYS
    expected = dict(BASE)
    expected.update(changed)
    assert typed(payload) == typed(expected)


@pytest.mark.parametrize(
    "options, value",
    [
        ({"keyword": ["a", " b "]}, "a,b"),
        ({"keyword": " lamp "}, "lamp"),
        ({"departmentKeyword": "dept", "keyword": "kw"}, "dept"),
        ({"departmentKeyword": "", "keyword": "kw"}, "kw"),
        ({"departmentKeyword": 0, "keyword": 12}, "12"),
        ({"keyword": [" ", ""]}, ""),
        ({}, None),
        ({"departmentKeyword": "", "keyword": 0}, None),
        ({"keyword": []}, None),
    ],
)
def test_department_keyword(options, value):
    payload = make(options)
    if value is None:
        assert list(payload) == BASE_KEYS
    else:
        assert list(payload) == BASE_KEYS + ["departmentKeyword"]
        assert payload["departmentKeyword"] == value and type(value) is str


@pytest.mark.parametrize(
    "options, tail",
    [
        ({"minAvgSales": 0}, [("minAvgSales", "0")]),
        ({"maxNewAvgSales": None}, []),
        ({"minAvgSales": False, "maxAvgSales": "", "sellerNations": ["CN", "US"], "minAvgRating": 4.5},
         [("minAvgSales", "False"), ("maxAvgSales", ""), ("minAvgRating", "4.5"), ("sellerNations", "['CN', 'US']")]),
        ({"maxNewAvgSales": 9, "keyword": "k", "minAvgSales": 1, "unknown": 3},
         [("departmentKeyword", "k"), ("minAvgSales", "1"), ("maxNewAvgSales", "9")]),
        ({"minAvgPrice": 1e16}, [("minAvgPrice", "1e+16")]),
    ],
)  # fmt: skip
def test_hidden_fields_follow_in_list_order(options, tail):
    payload = make(options)
    assert typed(payload)[len(BASE) :] == [(k, str, v) for k, v in tail]


def test_every_hidden_field_is_sent_in_list_order():
    options = {name: i for i, name in enumerate(reversed(HIDDEN))}
    payload = make(options)
    assert list(payload.items())[len(BASE) :] == [(name, str(options[name])) for name in HIDDEN]


def test_unchanged_values_are_the_option_objects():
    field, month = ["f"], ["m"]
    payload = make({"orderField": field, "monthName": month})
    assert payload["order.field"] is field and payload["monthName"] is month
    assert make({"order.field": field})["order.field"] is field


def test_payload_makes_its_referer():
    payload = make({"market": "DE", "minAvgSales": 0, "keyword": "a b"})
    url = p.build_referer(payload, "market-research")
    assert "/v2/market-research?marketId=4&nodeIdPath=&sampleNumber=1&topn=10&newReleaseNum=6&" in url
    assert url.endswith("&size=100&departmentKeyword=a+b&minAvgSales=0")


# --- against the definition --------------------------------------------------------------


def expected_payload(o):
    month = first_truthy(o, "month", "period") or "nearly"
    top = first_truthy(o, "topn", "topN") or 10
    months = p.new_release_num(o)
    payload = {
        "marketId": str(o.get("marketId") or p.market_research_market_id(p._market(o, default="US"))),
        "nodeIdPath": p._query_text(first_truthy(o, "nodeIdPath", "node", "category")),
        "sampleNumber": str(o.get("sampleNumber") or 1),
        "topn": str(top),
        "newReleaseNum": str(months),
        "order.field": first_truthy(o, "orderField", "order.field") or "total_sales",
        "order.desc": str(p.order_desc(first_truthy(o, "orderDesc", "order.desc"))).lower(),
        "tab": str(o.get("tab") or 1),
        "monthName": o.get("monthName") or p.month_name(month),
        "newReleaseNumSelect": str(o.get("newReleaseNumSelect") or months),
        "topNSelect": str(o.get("topNSelect") or top),
        "page": str(p._int(first_truthy(o, "page", "startPage"), 1)),
        "size": str(p._int(first_truthy(o, "size", "pageSize"), 100)),
    }
    keyword = first_truthy(o, "departmentKeyword", "keyword")
    if keyword:
        payload["departmentKeyword"] = p._query_text(keyword)
    for name in HIDDEN:
        if o.get(name) is not None:
            payload[name] = str(o[name])
    return payload


option_values = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-2, max_value=60)
    | st.sampled_from([0.0, 2.5, float("nan")])
    | st.sampled_from(["", " ", "0", "x", "3m", "半年内上架", "de", "mx", "2026-02", "30d", "false", "False", " 7 "])
    | st.lists(st.sampled_from(["", " a ", "1:2"]), max_size=3)
)
NAMES = [
    "marketId", "market", "site", "nodeIdPath", "node", "category", "sampleNumber", "topn", "topN", "newReleaseNum",
    "newReleaseMonths", "newProductMonths", "newRelease", "orderField", "order.field", "orderDesc", "order.desc",
    "tab", "monthName", "month", "period", "newReleaseNumSelect", "topNSelect", "page", "startPage", "size",
    "pageSize", "departmentKeyword", "keyword", "other", *HIDDEN[::4],
]  # fmt: skip


@settings(deadline=None, max_examples=500)
@given(st.dictionaries(st.sampled_from(NAMES), option_values, max_size=14))
def test_payload_matches_its_definition(options):
    before = repr(options)
    assert typed(make(options)) == typed(expected_payload(options))
    assert repr(options) == before
