# Checked by mypy against the payloads stub, and run, by tests/test_payloads_api.py.
from typing import Any

from zentrik.seller_sprite.api import payloads
from zentrik.seller_sprite.api.payloads import (
    MARKET_RESEARCH_HIDDEN_FIELDS,
    PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES,
    PRODUCT_RESEARCH_RECOMMENDATION_ALIASES,
    PRODUCT_RESEARCH_RECOMMENDATION_PRESETS,
    build_referer,
    csv,
    history_date,
    json_like_list,
    make_competitor_payload,
    market_id,
    month_name,
    order_desc,
    station_from_market_id,
    truthy,
)


def coercion() -> None:
    items: list[str] = csv("A, B") + csv(["C"]) + csv(None)
    query: str = payloads._query_text(items)
    flags: list[bool] = [order_desc("false"), truthy("yes"), truthy(None, default=True)]
    market: str = payloads._market({"site": "us"}, default="JP")
    number: int = payloads._int("20", 1) + payloads._int("x", 2.5) + payloads._int(None, True)
    array: str = json_like_list(items)
    flat: dict[str, str] = payloads._flatten_query({"order": {"desc": True}})
    assert query == "A,B,C" and flags == [False, True, True] and market == "US"
    assert number == 20 + 2 + 1 and array == '["A","B","C"]' and flat == {"order[desc]": "True"}


def markets() -> None:
    ids: list[Any] = [
        market_id("us"),
        payloads.market_research_market_id("mx"),
        payloads.traffic_source_market_id("com"),
    ]
    codes: list[str] = [station_from_market_id(11), payloads.traffic_source_market("us")]
    months: list[str] = [month_name("2026-03"), history_date("2026-03")]
    assert ids == [1, 771770, 1] and codes == ["MX", "COM"]
    assert months == ["bsr_sales_monthly_202603", "202603"]


def builders() -> None:
    options: dict[str, Any] = {"site": "us", "month": "2026-03", "asins": "A,B", "keyword": "shoe"}
    competitor: dict[str, Any] = make_competitor_payload(options)
    referer: str = build_referer(competitor, "competitor-lookup")
    assert referer.startswith("https://") and competitor["market"] == "US"
    others: list[dict[str, Any]] = [
        payloads.make_keyword_miner_payload(options),
        payloads.make_keyword_reverse_payload(options),
        payloads.make_traffic_source_payload(options),
        payloads.make_product_research_payload(options),
        payloads.make_market_research_payload(options),
    ]
    pages: list[str] = [build_referer(other, "keyword-miner") for other in others]
    assert len(set(pages)) == 1


def product_research() -> None:
    data: dict[str, Any] = payloads.normalize_product_research_input({"badgeBS": True})
    preset: dict[str, Any] = payloads.product_research_recommendation_preset({"mode": "none-such"})
    key: str = payloads._preset_key(" A_b c ")
    months: int = payloads.new_release_num({"newReleaseNum": "3"})
    payload: dict[str, Any] = {}
    payloads._append_product_list_filters(payload, data)
    payloads._append_product_range_filters(payload, data)
    payloads._append_product_extra_filters(payload, data)
    presets: dict[str, dict[str, Any]] = PRODUCT_RESEARCH_RECOMMENDATION_PRESETS
    aliases: dict[str, str] = {**PRODUCT_RESEARCH_RECOMMENDATION_ALIASES, **PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES}
    hidden: list[str] = MARKET_RESEARCH_HIDDEN_FIELDS
    assert preset == {} and key == "a-b-c" and months == 3
    assert presets and aliases and hidden and "productTags" in payload


def run() -> None:
    coercion()
    markets()
    builders()
    product_research()
