"""Product research: input normalisation, recommendation presets, the new-release
period, the layered payload, its three filter functions and the tables."""

from __future__ import annotations

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zentrik.seller_sprite.api import payloads as p
from conftest import first_truthy

make = p.make_product_research_payload
normalize = p.normalize_product_research_input
preset = p.product_research_recommendation_preset

PRESETS = {
    "低价长尾选品": {"minRanking": "10000", "maxRanking": "50000", "maxSales": "300", "maxPrice": "30", "maxSellers": "1"},
    "研发新品榜": {"productTags": ["NewRelease"], "sellerTypes": ["FBA", "FBM"], "maxSales": "500"},
    "潜力单变体": {"putawayMonth": "6", "minTotalUnitsGrowth": "20", "maxVariations": "1"},
    "销量飙升": {"minSales": "300", "minTotalUnitsGrowth": "10"},
    "潜力市场": {"putawayMonth": "6", "minTotalUnitsGrowth": "10", "maxSales": "600"},
    "未被满足的市场": {"sellerTypes": ["FBM"], "minSales": "300", "putawayMonth": "6"},
    "不压库存的市场": {"minSales": "600", "minSellers": "3", "putawayMonth": "6"},
    "投机市场": {"minSales": "300", "maxReviews": "50", "putawayMonth": "6"},
    "高需求低要求市场": {"minRankingCr": "99", "maxReviews": "10", "putawayMonth": "3"},
    "全品类铺货": {"minRankingCr": "99", "putawayMonth": "3"},
    "精品铺货": {"minRankingCr": "99", "putawayMonth": "3"},
    "低价商品": {"eligibility": ["Y"], "maxPrice": "10", "smallAndLight": "lowPrice", "lowPrice": "Y"},
    "新手推荐": {
        "sellerTypes": ["FBA"], "minSales": "300", "minTotalUnitsGrowth": "3", "minPrice": "15", "maxPrice": "60",
        "putawayMonth": "12",
    },
}  # fmt: skip
ALIASES = {
    "low-price-long-tail": "低价长尾选品",
    "new-product-list": "研发新品榜",
    "new-release": "研发新品榜",
    "potential-single-variant": "潜力单变体",
    "rapid-growth": "销量飙升",
    "potential": "潜力市场",
    "improved": "未被满足的市场",
    "fulfilled": "不压库存的市场",
    "speculative": "投机市场",
    "high-demand": "高需求低要求市场",
    "distribution-categories": "全品类铺货",
    "competitive-products": "精品铺货",
    "small-light": "低价商品",
    "low-price": "低价商品",
    "newbie-recommend": "新手推荐",
}
OFFICIAL = {
    "minUnits": "minSales", "maxUnits": "maxSales", "minRevenue": "minAmount", "maxRevenue": "maxAmount",
    "minUnitsCr": "minTotalUnitsGrowth", "maxUnitsCr": "maxTotalUnitsGrowth", "minRatings": "minReviews",
    "maxRatings": "maxReviews", "minRatingsCv": "minReviewsGrouth", "maxRatingsCv": "maxReviewsGrouth",
    "minStar": "minReviewRating", "maxStar": "maxReviewRating", "availableMonth": "putawayMonth",
    "fulfillment": "sellerTypes", "dimensionType": "pkgDimensionTypeList", "sellerNation": "sellerNationList",
    "minVariations": "minVariations", "maxVariations": "maxVariations", "variation": "maxVariations",
    "minBsr": "minRanking", "maxBsr": "maxRanking", "minBsrCv": "minRankingCv", "maxBsrCv": "maxRankingCv",
    "minBsrCr": "minRankingCr", "maxBsrCr": "maxRankingCr", "minLqs": "lqsFrom", "maxLqs": "lqsTo",
    "excludeKeywords": "outOfKeywords", "minSellers": "minSellers", "maxSellers": "maxSellers",
}  # fmt: skip
RANGE_TARGETS = [
    "minPrice", "maxPrice", "minSales", "maxSales", "minAmount", "maxAmount", "minAmzUnit", "maxAmzUnit",
    "minTotalUnitsGrowth", "maxTotalUnitsGrowth", "minRanking", "maxRanking", "minSubBsrRank", "maxSubBsrRank",
    "minRankingCv", "maxRankingCv", "minRankingCr", "maxRankingCr", "minVariations", "maxVariations",
    "minQuestions", "maxQuestions", "minReviewsGrouth", "maxReviewsGrouth", "minReviewsRate", "maxReviewsRate",
    "minProfit", "maxProfit", "lqsFrom", "lqsTo", "minReviews", "maxReviews", "minReviewRating", "maxReviewRating",
    "minFba", "maxFba", "minWeights", "maxWeights", "minDeliveryPrice", "maxDeliveryPrice", "minSellers",
    "maxSellers",
]  # fmt: skip
RANGE_ALTERNATIVES = {
    "minPrice": "priceMin", "maxPrice": "priceMax", "minSales": "salesMin", "maxSales": "salesMax",
    "minReviews": "reviewsMin", "maxReviews": "reviewsMax", "minReviewRating": "ratingMin",
    "maxReviewRating": "ratingMax",
}  # fmt: skip
LIST_KEYS = ["productTags", "sellerTypes", "eligibility"]
EXTRA_KEYS = ["putawayMonth", "smallAndLight", "lowPrice", "video", "matchType"]
PASS_THROUGH = ["keyword", "keywords", "includeBrands", "excludeBrands", "includeSellers", "excludeSellers",
                "outOfKeywords"]  # fmt: skip
BADGES = [("badgeBS", "BestSeller"), ("badgeAC", "AmazonChoice"), ("badgeNR", "NewRelease")]
MONTHS = {
    "1": 1, "1m": 1, "one_month": 1, "1个月内上架": 1, "一个月内上架": 1,
    "3": 3, "3m": 3, "three_months": 3, "3个月内上架": 3, "三个月内上架": 3,
    "6": 6, "6m": 6, "half_year": 6, "半年内上架": 6,
}  # fmt: skip
BASE = [
    ("market", "JP"), ("page", 1), ("size", 100), ("symbolFlag", False), ("monthName", "bsr_sales_monthly_202603"),
    ("selectType", "2"), ("filterSub", False), ("weightUnit", "g"), ("order", {"field": "amz_unit", "desc": True}),
    ("productTags", []), ("nodeIdPaths", []), ("sellerTypes", []), ("eligibility", []),
    ("pkgDimensionTypeList", []), ("sellerNationList", []), ("smallAndLight", "N"), ("lowPrice", "N"),
]  # fmt: skip
BASE_KEYS = [k for k, _ in BASE]


def typed(payload):
    return [(k, type(v), v) for k, v in payload.items()]


# --- the tables ---------------------------------------------------------------------


def strings_or_string_lists(value):
    if isinstance(value, dict):
        return all(type(k) is str and strings_or_string_lists(v) for k, v in value.items())
    if type(value) is list:
        return all(type(v) is str for v in value)
    return type(value) is str


@pytest.mark.parametrize(
    "name, expected",
    [
        ("PRODUCT_RESEARCH_RECOMMENDATION_PRESETS", PRESETS),
        ("PRODUCT_RESEARCH_RECOMMENDATION_ALIASES", ALIASES),
        ("PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES", OFFICIAL),
    ],
)
def test_tables_hold_exactly_their_entries_in_order(name, expected):
    table = getattr(p, name)
    assert type(table) is dict
    assert list(table.items()) == list(expected.items())
    for key, value in table.items():
        if isinstance(value, dict):
            assert type(value) is dict and list(value.items()) == list(expected[key].items()), key
    assert strings_or_string_lists(table)


def test_table_sizes():
    assert (len(PRESETS), len(ALIASES), len(OFFICIAL), len(RANGE_TARGETS)) == (13, 15, 30, 42)
    assert set(ALIASES.values()) <= set(PRESETS)


def test_every_alias_names_its_preset():
    for alias, name in ALIASES.items():
        assert preset({"mode": alias}) == PRESETS[name]
    for name, values in PRESETS.items():
        assert list(preset({"mode": name}).items()) == list(values.items())


def mutate_deeply(value):
    if isinstance(value, dict):
        for v in list(value.values()):
            mutate_deeply(v)
        value["injected"] = "x"
        for k in [k for k in value if k != "injected"][:1]:
            value[k] = "changed"
    elif isinstance(value, list):
        value.append("injected")
        if value:
            value[0] = "changed"


TABLE_NAMES = ["PRODUCT_RESEARCH_RECOMMENDATION_PRESETS", "PRODUCT_RESEARCH_RECOMMENDATION_ALIASES",
               "PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES", "MARKET_RESEARCH_HIDDEN_FIELDS"]  # fmt: skip


@pytest.fixture
def spoilable_tables():
    saved = {name: copy.deepcopy(getattr(p, name)) for name in TABLE_NAMES}
    yield
    for name, table in saved.items():
        setattr(p, name, table)


def test_nothing_handed_out_reaches_the_tables(spoilable_tables):
    options = {"mode": "研发新品榜", "productTags": None}
    first_preset, first_payload = preset(options), make(options)
    before = (preset(options), make(options), normalize(options))
    # the copies handed out, the lists in them and the module's own attributes
    mutate_deeply(first_preset)
    mutate_deeply(first_payload)
    for name in TABLE_NAMES:
        mutate_deeply(getattr(p, name))
    p.PRODUCT_RESEARCH_RECOMMENDATION_PRESETS["研发新品榜"] = {"maxSales": "1"}
    p.PRODUCT_RESEARCH_RECOMMENDATION_ALIASES["new-release"] = "精品铺货"
    p.PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES["minUnits"] = "maxSales"
    p.MARKET_RESEARCH_HIDDEN_FIELDS[:] = ["x"]
    assert (preset(options), make(options), normalize(options)) == before
    assert preset({"mode": "new-release"}) == PRESETS["研发新品榜"]
    assert normalize({"minUnits": 1}) == {"minUnits": 1, "minSales": 1}
    assert make({"minUnits": 1})["minSales"] == "1"
    assert list(p.make_market_research_payload({"minAvgSales": 1, "x": 2}))[-1] == "minAvgSales"


def test_presets_handed_out_are_new_each_time():
    first, second = preset({"mode": "新手推荐"}), preset({"mode": "新手推荐"})
    assert first is not second and first["sellerTypes"] is not second["sellerTypes"]
    assert first["sellerTypes"] is not p.PRODUCT_RESEARCH_RECOMMENDATION_PRESETS["新手推荐"]["sellerTypes"]
    assert preset({}) is not preset({})


# --- _preset_key ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (" Rapid_Growth ", "rapid-growth"),
        ("Low Price Long Tail", "low-price-long-tail"),
        ("a  b", "a--b"),
        ("a\tb_c", "a\tb-c"),
        ("\u3000Ä_B\u00a0", "ä-b"),
        ("İ", "i\u0307"),
        ("", ""),
        ("低价 商品", "低价-商品"),
    ],
)
def test_preset_key(value, expected):
    result = p._preset_key(value)
    assert result == expected and type(result) is str


@given(st.text(alphabet=st.sampled_from("aZ_ -\t\u00a0\u3000Éß1x"), max_size=12))
def test_preset_key_is_the_fold_of_the_alias_table(text):
    assert p._preset_key(text) == text.strip().lower().replace("_", "-").replace(" ", "-")


# --- the recommendation preset ------------------------------------------------------


@pytest.mark.parametrize(
    "options, name",
    [
        ({"recommendationMode": "Low Price Long Tail"}, "低价长尾选品"),
        ({"recommendationMode": "low_price_long_tail"}, "低价长尾选品"),
        ({"recommendationMode": "LOW-PRICE-LONG-TAIL"}, "低价长尾选品"),
        ({"mode": " 潜力市场 "}, "潜力市场"),
        ({"mode": "\u3000潜力市场\t"}, "潜力市场"),
        ({"recommendMode": "", "mode": "new-release"}, "研发新品榜"),
        ({"presetMode": "fulfilled", "mode": "potential"}, "不压库存的市场"),
        ({"productMode": "speculative"}, "投机市场"),
        ({"推荐模式": "精品铺货"}, "精品铺货"),
        ({"recommendationMode": 0, "recommendMode": None, "presetMode": [], "productMode": "", "推荐模式": "improved"},
         "未被满足的市场"),
        ({"mode": "small-light"}, "低价商品"),
        ({"mode": "low-price"}, "低价商品"),
        ({"mode": "new-product-list"}, "研发新品榜"),
        ({"mode": " NewBie Recommend "}, "新手推荐"),
        ({"mode": "high-demand", "recommendationMode": "rapid growth"}, "销量飙升"),
        ({"mode": "mystery"}, None),
        ({"mode": "低价 商品"}, None),
        ({"mode": "高需求低要求市场 x"}, None),
        ({"mode": "POTENTIAL市场"}, None),
        ({}, None),
        ({"mode": ""}, None),
        ({"mode": 0, "推荐模式": 0}, None),
        ({"mode": ["low-price"]}, None),
        ({"mode": True}, None),
        ({"mode": "low\u00a0price"}, None),
    ],
)  # fmt: skip
def test_recommendation_preset(options, name):
    result = preset(options)
    assert type(result) is dict
    expected = PRESETS[name] if name else {}
    assert list(result.items()) == list(expected.items())


# --- new_release_num --------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, expected",
    [
        ({}, 6),
        ({"newReleaseNum": "3M"}, 3),
        ({"newReleaseNum": " 1m "}, 1),
        ({"newReleaseNum": "ONE_MONTH"}, 1),
        ({"newReleaseNum": "Three_Months"}, 3),
        ({"newReleaseNum": "half_year"}, 6),
        ({"newReleaseMonths": "半年内上架"}, 6),
        ({"newProductMonths": "三个月内上架"}, 3),
        ({"newRelease": "1个月内上架"}, 1),
        ({"newRelease": "一个月内上架"}, 1),
        ({"newReleaseNum": "12"}, 12),
        ({"newReleaseNum": "2"}, 2),
        ({"newReleaseNum": "abc"}, 6),
        ({"newReleaseNum": 3.7}, 3),
        ({"newReleaseNum": True}, 1),
        ({"newReleaseNum": 0, "newRelease": 3}, 3),
        ({"newReleaseNum": "", "newReleaseMonths": "3m", "newRelease": "1"}, 3),
        ({"newRelease": 0}, 0),
        ({"newRelease": ""}, 6),
        ({"newRelease": False}, 0),
        ({"newRelease": None, "newReleaseNum": 0}, 6),
        ({"newReleaseNum": 0}, 6),
        ({"newReleaseNum": "-4"}, -4),
        ({"newReleaseNum": "６"}, 6),
        ({"newReleaseNum": "１２"}, 12),
        ({"newReleaseNum": " 12 "}, 12),
        ({"newReleaseNum": "1.0"}, 6),
        ({"newReleaseNum": float("nan")}, 6),
        ({"newReleaseNum": ["3"]}, 6),
        ({"newReleaseNum": 10**30}, 10**30),
    ],
)
def test_new_release_num(options, expected):
    result = p.new_release_num(options)
    assert result == expected and type(result) is int


@pytest.mark.parametrize("text, months", MONTHS.items())
def test_every_month_word(text, months):
    for variant in (text, f" {text.upper()}\t"):
        for name in ("newReleaseNum", "newReleaseMonths", "newProductMonths", "newRelease"):
            assert p.new_release_num({name: variant}) == months


# --- normalisation --------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, expected",
    [
        ({}, {}),
        ({"minUnits": "100"}, {"minUnits": "100", "minSales": "100"}),
        ({"minUnits": "100", "minSales": "5"}, {"minUnits": "100", "minSales": "5"}),
        ({"minSales": "5", "minUnits": "100"}, {"minSales": "5", "minUnits": "100"}),
        ({"variation": "1"}, {"variation": "1", "maxVariations": "1"}),
        ({"maxVariations": 2, "variation": "1"}, {"maxVariations": 2, "variation": "1"}),
        ({"maxVariations": None, "variation": "1"}, {"maxVariations": None, "variation": "1"}),
        ({"availableMonth": None}, {"availableMonth": None, "putawayMonth": None}),
        ({"availableMonth": 3, "putawayMonth": "6"}, {"availableMonth": 3, "putawayMonth": "6"}),
        ({"minSellers": 2, "maxSellers": None}, {"minSellers": 2, "maxSellers": None}),
        # web-form names come after the given options, in table order
        ({"maxLqs": 9, "minBsr": 1, "minStar": 0}, {"maxLqs": 9, "minBsr": 1, "minStar": 0, "minReviewRating": 0,
                                                    "minRanking": 1, "lqsTo": 9}),
        ({"excludeKeywords": "a", "fulfillment": "FBA", "dimensionType": ["s"], "sellerNation": "CN"},
         {"excludeKeywords": "a", "fulfillment": "FBA", "dimensionType": ["s"], "sellerNation": "CN",
          "sellerTypes": "FBA", "pkgDimensionTypeList": ["s"], "sellerNationList": "CN", "outOfKeywords": "a"}),
        # badges
        ({"badgeNR": True}, {"badgeNR": True, "productTags": ["NewRelease"]}),
        ({"badgeBS": "yes", "badgeAC": "1"}, {"badgeBS": "yes", "badgeAC": "1", "productTags": ["BestSeller",
                                                                                              "AmazonChoice"]}),
        ({"badgeAC": True, "badgeBS": True, "badgeNR": True},
         {"badgeAC": True, "badgeBS": True, "badgeNR": True, "productTags": ["NewRelease", "BestSeller",
                                                                             "AmazonChoice"]}),
        ({"productTags": "X", "badgeNR": True}, {"productTags": ["X", "NewRelease"], "badgeNR": True}),
        ({"productTags": ["NewRelease"], "badgeNR": True}, {"productTags": ["NewRelease"], "badgeNR": True}),
        ({"productTags": " A, B ,", "badgeBS": "Y"}, {"productTags": ["A", "B", "BestSeller"], "badgeBS": "Y"}),
        ({"productTags": None, "badgeNR": True}, {"productTags": ["NewRelease"], "badgeNR": True}),
        ({"productTags": "", "badgeNR": "yes", "badgeBS": "TRUE"},
         {"productTags": ["BestSeller", "NewRelease"], "badgeNR": "yes", "badgeBS": "TRUE"}),
        ({"productTags": ""}, {"productTags": ""}),
        ({"productTags": " , "}, {"productTags": " , "}),
        ({"productTags": []}, {"productTags": []}),
        ({"productTags": "A,B"}, {"productTags": ["A", "B"]}),
        ({"badgeBS": "on", "badgeAC": "2", "badgeNR": "1.0"}, {"badgeBS": "on", "badgeAC": "2", "badgeNR": "1.0"}),
        ({"badgeNR": "no"}, {"badgeNR": "no"}),
        ({"badgeNR": None}, {"badgeNR": None}),
    ],
)  # fmt: skip
def test_normalize(options, expected):
    before = copy.deepcopy(options)
    result = normalize(options)
    assert result is not options
    assert list(result.items()) == list(expected.items())
    assert options == before


def test_normalize_shares_the_values():
    value, tags = object(), ["BestSeller"]
    result = normalize({"minUnits": value, "x": tags, "badgeBS": True, "productTags": tags})
    assert result["minUnits"] is value and result["minSales"] is value and result["x"] is tags
    assert result["productTags"] == ["BestSeller"] and result["productTags"] is not tags


# --- the three filter functions ----------------------------------------------------------


@pytest.mark.parametrize(
    "options, added",
    [
        ({}, {}),
        ({"sellerTypes": "FBA, FBM"}, {"sellerTypes": ["FBA", "FBM"]}),
        ({"eligibility": ["Y", " "], "productTags": "X"}, {"productTags": ["X"], "eligibility": ["Y"]}),
        ({"sellerTypes": ""}, {"sellerTypes": []}),
        ({"sellerTypes": []}, {"sellerTypes": []}),
        ({"sellerTypes": False}, {"sellerTypes": []}),
        ({"sellerTypes": 0}, {"sellerTypes": []}),
        ({"sellerTypes": None}, {}),
        ({"eligibility": 5}, {"eligibility": ["5"]}),
    ],
)
def test_list_filters(options, added):
    payload = {"first": 1, "sellerTypes": "old"}
    assert p._append_product_list_filters(payload, options) is None
    expected = {"first": 1, "sellerTypes": "old"}
    expected.update(added)
    assert list(payload.items()) == list(expected.items())


@pytest.mark.parametrize(
    "options, added",
    [
        ({}, {}),
        ({"minPrice": None, "priceMin": 3}, {"minPrice": "3"}),
        ({"minPrice": 0, "priceMin": 3}, {"minPrice": "0"}),
        ({"minPrice": "", "priceMin": 3}, {"minPrice": ""}),
        ({"priceMax": 9.5, "salesMin": True, "salesMax": [1, "a"]},
         {"maxPrice": "9.5", "minSales": "True", "maxSales": "[1, 'a']"}),
        ({"reviewsMin": 1, "reviewsMax": 2, "ratingMin": 3, "ratingMax": 4.0},
         {"minReviews": "1", "maxReviews": "2", "minReviewRating": "3", "maxReviewRating": "4.0"}),
        ({"maxReviewRating": 5, "ratingMax": 1}, {"maxReviewRating": "5"}),
        # rows in table order, whatever the order of the options
        ({"maxSellers": 1, "lqsTo": 2, "minAmount": 3, "sellerTypes": "x"},
         {"minAmount": "3", "lqsTo": "2", "maxSellers": "1"}),
        ({"minAmzUnit": {"a": None}}, {"minAmzUnit": "{'a': None}"}),
        ({"minWeights": 1e16, "maxWeights": 1e-05}, {"minWeights": "1e+16", "maxWeights": "1e-05"}),
        ({"priceMin": None, "minPrice": None}, {}),
    ],
)  # fmt: skip
def test_range_filters(options, added):
    payload = {"first": 1, "minPrice": "old"}
    assert p._append_product_range_filters(payload, options) is None
    expected = {"first": 1, "minPrice": "old"}
    expected.update(added)
    assert typed(payload) == typed(expected)


def test_range_filters_cover_every_row():
    options = {name: i for i, name in enumerate(reversed(RANGE_TARGETS))}
    payload = {}
    p._append_product_range_filters(payload, options)
    assert list(payload.items()) == [(name, str(options[name])) for name in RANGE_TARGETS]
    alternatives = {alt: target for target, alt in RANGE_ALTERNATIVES.items()}
    payload = {}
    p._append_product_range_filters(payload, {alt: alt for alt in alternatives})
    assert list(payload.items()) == [(t, a) for t in RANGE_TARGETS for a, tt in alternatives.items() if tt == t]


@pytest.mark.parametrize(
    "options, added",
    [
        ({}, {}),
        ({"video": 0, "matchType": "", "lowPrice": False}, {"lowPrice": False, "video": 0, "matchType": ""}),
        ({"putawayMonth": 3, "smallAndLight": None}, {"putawayMonth": 3}),
        ({"matchType": [1], "putawayMonth": "6", "other": 1}, {"putawayMonth": "6", "matchType": [1]}),
    ],
)
def test_extra_filters(options, added):
    payload = {"first": 1, "lowPrice": "N"}
    assert p._append_product_extra_filters(payload, options) is None
    expected = {"first": 1, "lowPrice": "N"}
    expected.update(added)
    assert typed(payload) == typed(expected)
    for key in added:
        assert payload[key] is options[key]


# --- the payload ------------------------------------------------------------------------


def test_empty_options_give_the_base_keys():
    payload = make({})
    assert typed(payload) == [(k, type(v), v) for k, v in BASE]
    assert list(payload["order"]) == ["field", "desc"]


def test_each_call_builds_new_containers():
    first = make({"mode": "研发新品榜"})
    for key in ("order", "productTags", "nodeIdPaths", "sellerTypes", "eligibility"):
        assert first[key] is not make({"mode": "研发新品榜"})[key]


@pytest.mark.parametrize(
    "options, changed",
    [
        ({"site": "us"}, {"market": "US"}),
        ({"market": "de", "site": "us"}, {"market": "DE"}),
        ({"market": 0, "site": ""}, {"market": "JP"}),
        ({"period": "30d"}, {"monthName": "bsr_sales_nearly"}),
        ({"month": "2026-01", "period": "30d"}, {"monthName": "bsr_sales_monthly_202601"}),
        ({"monthName": "bsr_sales_monthly_202512", "month": "2026-01"}, {"monthName": "bsr_sales_monthly_202512"}),
        ({"selectType": 3}, {"selectType": "3"}),
        ({"selectType": 0}, {"selectType": "2"}),
        ({"selectType": ["a"]}, {"selectType": "['a']"}),
        ({"filterSub": "yes"}, {"filterSub": True}),
        ({"filterSub": "no"}, {"filterSub": False}),
        ({"filterSub": 1}, {"filterSub": True}),
        ({"filterSub": None}, {"filterSub": False}),
        ({"weightUnit": "kg"}, {"weightUnit": "kg"}),
        ({"weightUnit": ""}, {"weightUnit": "g"}),
        ({"orderField": "price", "orderDesc": "false"}, {"order": {"field": "price", "desc": False}}),
        ({"node": "a,b"}, {"nodeIdPaths": ["a", "b"]}),
        ({"node": "", "category": "c", "nodeIdPaths": ["n"]}, {"nodeIdPaths": ["c"]}),
        ({"node": None, "category": 0, "nodeIdPaths": ["n", " m "]}, {"nodeIdPaths": ["n", "m"]}),
        ({"pkgDimensionTypeList": "S, L", "sellerNationList": ["CN"]},
         {"pkgDimensionTypeList": ["S", "L"], "sellerNationList": ["CN"]}),
        ({"dimensionType": "S", "sellerNation": "US,CN"},
         {"pkgDimensionTypeList": ["S"], "sellerNationList": ["US", "CN"]}),
        ({"page": "x", "startPage": 2}, {"page": 1}),
        ({"page": 0, "startPage": 2}, {"page": 2}),
        ({"startPage": 0}, {"page": 0}),
        ({"size": "20", "pageSize": 30}, {"size": 20}),
        ({"pageSize": "30"}, {"size": 30}),
        ({"size": 2.5}, {"size": 2}),
    ],
)  # fmt: skip
def test_base_keys(options, changed):
    payload = make(options)
    assert list(payload) == BASE_KEYS
    expected = dict(BASE)
    expected.update(changed)
    assert typed(payload) == typed(expected)


LOW_PRICE_LONG_TAIL = [("minRanking", "10000"), ("maxRanking", "50000"), ("maxSales", "300"), ("maxPrice", "30"),
                       ("maxSellers", "1")]  # fmt: skip


@pytest.mark.parametrize(
    "options, in_place, appended",
    [
        ({"recommendationMode": "low-price-long-tail"}, {}, LOW_PRICE_LONG_TAIL),
        # an explicit filter replaces the preset's value in its place
        ({"recommendationMode": "low-price-long-tail", "priceMax": 25}, {},
         [(k, "25" if k == "maxPrice" else v) for k, v in LOW_PRICE_LONG_TAIL]),
        ({"recommendationMode": "low-price-long-tail", "maxSellers": 0, "minPrice": 5}, {},
         [(k, "0" if k == "maxSellers" else v) for k, v in LOW_PRICE_LONG_TAIL] + [("minPrice", "5")]),
        # official names fill the web-form name only
        ({"mode": "low-price-long-tail", "maxBsr": 9000}, {},
         [(k, "9000" if k == "maxRanking" else v) for k, v in LOW_PRICE_LONG_TAIL]),
        ({"mode": "low-price-long-tail", "maxBsr": 9000, "maxRanking": 8000}, {},
         [(k, "8000" if k == "maxRanking" else v) for k, v in LOW_PRICE_LONG_TAIL]),
        ({"mode": "研发新品榜"}, {"productTags": ["NewRelease"], "sellerTypes": ["FBA", "FBM"]}, [("maxSales", "500")]),
        ({"mode": "研发新品榜", "productTags": "X"}, {"productTags": ["X"], "sellerTypes": ["FBA", "FBM"]},
         [("maxSales", "500")]),
        ({"mode": "研发新品榜", "badgeBS": True}, {"productTags": ["BestSeller"], "sellerTypes": ["FBA", "FBM"]},
         [("maxSales", "500")]),
        ({"mode": "研发新品榜", "badgeNR": "y", "badgeAC": 1},
         {"productTags": ["NewRelease", "AmazonChoice"], "sellerTypes": ["FBA", "FBM"]}, [("maxSales", "500")]),
        ({"mode": "研发新品榜", "sellerTypes": []}, {"productTags": ["NewRelease"]}, [("maxSales", "500")]),
        ({"mode": "研发新品榜", "sellerTypes": ""}, {"productTags": ["NewRelease"]}, [("maxSales", "500")]),
        ({"mode": "研发新品榜", "fulfillment": "FBM"}, {"productTags": ["NewRelease"], "sellerTypes": ["FBM"]},
         [("maxSales", "500")]),
        ({"mode": "研发新品榜", "productTags": ""}, {"productTags": [], "sellerTypes": ["FBA", "FBM"]},
         [("maxSales", "500")]),
        ({"mode": "低价商品"}, {"eligibility": ["Y"], "smallAndLight": "lowPrice", "lowPrice": "Y"}, [("maxPrice", "10")]),
        ({"mode": "低价商品", "smallAndLight": ""}, {"eligibility": ["Y"], "smallAndLight": "", "lowPrice": "Y"},
         [("maxPrice", "10")]),
        ({"mode": "低价商品", "lowPrice": False, "eligibility": None},
         {"eligibility": ["Y"], "smallAndLight": "lowPrice", "lowPrice": False}, [("maxPrice", "10")]),
        # putawayMonth: preset text, replaced in place by the integer from availableMonth
        ({"mode": "potential"}, {}, [("putawayMonth", "6"), ("minTotalUnitsGrowth", "10"), ("maxSales", "600")]),
        ({"mode": "potential", "availableMonth": 3}, {},
         [("putawayMonth", 3), ("minTotalUnitsGrowth", "10"), ("maxSales", "600")]),
        ({"mode": "potential", "availableMonth": 3, "putawayMonth": "1"}, {},
         [("putawayMonth", "1"), ("minTotalUnitsGrowth", "10"), ("maxSales", "600")]),
        ({"mode": "potential", "availableMonth": None}, {},
         [("putawayMonth", "6"), ("minTotalUnitsGrowth", "10"), ("maxSales", "600")]),
        ({"availableMonth": 3}, {}, [("putawayMonth", 3)]),
        ({"minUnits": 100}, {}, [("minSales", "100")]),
        ({"minUnits": 100, "minSales": 5}, {}, [("minSales", "5")]),
        ({"minUnits": 100, "salesMin": 5}, {}, [("minSales", "100")]),
        ({"minPrice": None, "priceMin": 3}, {}, [("minPrice", "3")]),
        ({"minPrice": 0}, {}, [("minPrice", "0")]),
        ({"mode": "nothing", "maxPrice": ""}, {}, [("maxPrice", "")]),
        # later layers: preset keys not in the base, then range keys, then extra keys
        ({"video": "Y", "maxSellers": 2, "mode": "新手推荐", "matchType": 0, "minAmount": 1},
         {"sellerTypes": ["FBA"]},
         [("minSales", "300"), ("minTotalUnitsGrowth", "3"), ("minPrice", "15"), ("maxPrice", "60"),
          ("putawayMonth", "12"), ("minAmount", "1"), ("maxSellers", "2"), ("video", "Y"), ("matchType", 0)]),
        ({"putawayMonth": 1, "maxSellers": 2, "video": None, "matchType": False}, {},
         [("maxSellers", "2"), ("putawayMonth", 1), ("matchType", False)]),
        # pass-through keys last, in their fixed order, only when truthy
        ({"outOfKeywords": "o", "keyword": "", "includeBrands": "a,b", "keywords": ["k"], "minSales": 1}, {},
         [("minSales", "1"), ("keywords", ["k"]), ("includeBrands", "a,b"), ("outOfKeywords", "o")]),
        ({"excludeKeywords": "bad", "excludeSellers": "s", "includeSellers": 0, "excludeBrands": "e"}, {},
         [("excludeBrands", "e"), ("excludeSellers", "s"), ("outOfKeywords", "bad")]),
        ({"excludeKeywords": "bad", "outOfKeywords": ""}, {}, []),
    ],
)  # fmt: skip
def test_layers(options, in_place, appended):
    before = copy.deepcopy(options)
    payload = make(options)
    expected = dict(BASE)
    expected.update(in_place)
    expected.update(appended)
    assert typed(payload) == typed(expected)
    assert list(payload)[: len(BASE)] == BASE_KEYS
    assert options == before


def test_unchanged_values_are_the_option_objects():
    things = {k: [k] for k in ["monthName", "weightUnit", "orderField", "smallAndLight", "lowPrice", "video",
                               "matchType", "putawayMonth", *PASS_THROUGH]}  # fmt: skip
    payload = make(things)
    for key, value in things.items():
        target = payload["order"]["field"] if key == "orderField" else payload[key]
        assert target is value, key
    month = object()
    assert make({"availableMonth": month})["putawayMonth"] is month
    assert make({"excludeKeywords": month})["outOfKeywords"] is month


def test_payload_makes_its_referer():
    payload = make({"mode": "低价商品", "site": "us", "minUnits": 3})
    url = p.build_referer(payload, "product-research")
    assert "/v3/product-research?market=US&page=1&size=100&symbolFlag=False&" in url
    assert url.endswith("&maxPrice=10&minSales=3")


# --- against the definitions ---------------------------------------------------------------


def expected_normalize(o):
    data = dict(o)
    for official, web in OFFICIAL.items():
        if official in data and web not in data:
            data[web] = data[official]
    badge = data.get("badgeNR")
    if badge is not None and "productTags" not in data and p.truthy(badge):
        data["productTags"] = ["NewRelease"]
    tags = p.csv(data.get("productTags"))
    for key, tag in BADGES:
        if p.truthy(data.get(key)) and tag not in tags:
            tags.append(tag)
    if tags:
        data["productTags"] = tags
    return data


def expected_preset(o):
    mode = first_truthy(o, "recommendationMode", "recommendMode", "presetMode", "productMode", "mode", "推荐模式")
    if not mode:
        return {}
    text = str(mode).strip()
    name = ALIASES.get(text.strip().lower().replace("_", "-").replace(" ", "-"), text)
    return copy.deepcopy(PRESETS.get(name, {}))


def expected_new_release_num(o):
    value = first_truthy(o, "newReleaseNum", "newReleaseMonths", "newProductMonths", "newRelease")
    if value is None:
        return 6
    text = str(value).strip().lower()
    return MONTHS[text] if text in MONTHS else p._int(value, 6)


def expected_payload(o):
    data = expected_normalize(o)
    month = first_truthy(data, "month", "period") or "2026-03"
    chosen = expected_preset(data)
    payload = {
        "market": p._market(data, default="JP"),
        "page": p._int(first_truthy(data, "page", "startPage"), 1),
        "size": p._int(first_truthy(data, "size", "pageSize"), 100),
        "symbolFlag": False,
        "monthName": data.get("monthName") or p.month_name(month),
        "selectType": str(data.get("selectType") or "2"),
        "filterSub": False if data.get("filterSub") is None else p.truthy(data["filterSub"]),
        "weightUnit": data.get("weightUnit") or "g",
        "order": {"field": data.get("orderField") or "amz_unit", "desc": p.order_desc(data.get("orderDesc"))},
        "productTags": [],
        "nodeIdPaths": p.csv(first_truthy(data, "node", "category", "nodeIdPaths")),
        "sellerTypes": [],
        "eligibility": [],
        "pkgDimensionTypeList": p.csv(data.get("pkgDimensionTypeList")),
        "sellerNationList": p.csv(data.get("sellerNationList")),
        "smallAndLight": data.get("smallAndLight") or "N",
        "lowPrice": data.get("lowPrice") or "N",
    }
    payload.update(chosen)
    for key in LIST_KEYS:
        if data.get(key) is not None:
            payload[key] = p.csv(data[key])
    for target in RANGE_TARGETS:
        for name in (target, RANGE_ALTERNATIVES.get(target)):
            if name is not None and data.get(name) is not None:
                payload[target] = str(data[name])
                break
    for key in EXTRA_KEYS:
        if data.get(key) is not None:
            payload[key] = data[key]
    for key in PASS_THROUGH:
        if data.get(key):
            payload[key] = data[key]
    return payload


option_values = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-2, max_value=12)
    | st.sampled_from([0.0, 9.5, 1e16, float("nan")])
    | st.sampled_from(
        ["", " ", "0", "1", "3m", "半年内上架", "abc", "yes", "on", "us", "2026-01", "30d", "a, b,,c", "X",
         "NewRelease", "low_price_long_tail", "Low Price", " 潜力市场 ", "研发新品榜", "低价商品", "new-release",
         "newbie recommend", "false", " 12 "]
    )
    | st.lists(st.sampled_from(["", " x ", "NewRelease", "FBA", "a,b"]), max_size=3)
)  # fmt: skip
NAMES = sorted(
    {"market", "site", "page", "startPage", "size", "pageSize", "monthName", "month", "period", "selectType",
     "filterSub", "weightUnit", "orderField", "orderDesc", "node", "category", "nodeIdPaths", "mode",
     "recommendationMode", "推荐模式", "badgeBS", "badgeAC", "badgeNR", "priceMin", "salesMax", "ratingMin",
     "newReleaseNum", "newRelease", "newReleaseMonths", "newProductMonths", "other"}
    | set(OFFICIAL) | set(OFFICIAL.values()) | set(LIST_KEYS) | set(EXTRA_KEYS) | set(PASS_THROUGH)
    | set(RANGE_TARGETS[::5])
)  # fmt: skip
options_maps = st.dictionaries(st.sampled_from(NAMES), option_values, max_size=14)


@settings(deadline=None, max_examples=500)
@given(options_maps)
def test_functions_match_their_definitions(options):
    before = repr(options)
    assert typed(normalize(options)) == typed(expected_normalize(options))
    assert typed(preset(options)) == typed(expected_preset(options))
    result = p.new_release_num(options)
    assert (type(result), result) == (int, expected_new_release_num(options))
    assert typed(make(options)) == typed(expected_payload(options))
    assert repr(options) == before


@settings(deadline=None, max_examples=200)
@given(options_maps, st.dictionaries(st.sampled_from(NAMES), option_values, max_size=6))
def test_filter_functions_match_their_definitions(options, start):
    for function, keys in ((p._append_product_list_filters, LIST_KEYS), (p._append_product_extra_filters, EXTRA_KEYS)):
        payload, expected = dict(start), dict(start)
        function(payload, options)
        for key in keys:
            if options.get(key) is not None:
                expected[key] = p.csv(options[key]) if keys is LIST_KEYS else options[key]
        assert typed(payload) == typed(expected)
    payload, expected = dict(start), dict(start)
    p._append_product_range_filters(payload, options)
    for target in RANGE_TARGETS:
        for name in (target, RANGE_ALTERNATIVES.get(target)):
            if name is not None and options.get(name) is not None:
                expected[target] = str(options[name])
                break
    assert typed(payload) == typed(expected)
