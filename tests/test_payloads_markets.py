"""Markets, stations and months: market_id, market_research_market_id,
station_from_market_id, traffic_source_market, traffic_source_market_id,
month_name and history_date."""

from __future__ import annotations

import pytest

from conftest import Boom, Hostile, ShowsAs, StrSub
from zentrik.seller_sprite.api import payloads as p

# fmt: off
# station code, market id, market-research id, traffic-source market
STATIONS = [
    ("US", 1, 1, "COM"), ("UK", 3, 3, "UK"), ("DE", 4, 4, "DE"), ("FR", 5, 5, "FR"), ("JP", 6, 6, "JP"),
    ("CA", 7, 7, "CA"), ("IT", 8, 35691, "IT"), ("ES", 9, 44551, "ES"), ("IN", 10, 44571, "IN"),
    ("MX", 11, 771770, "MX"),
]
KNOWN = [
    (p.market_id, "jp", 6), (p.market_id, "IT", 8), (p.market_id, "uſ", 1), (p.market_id, "ıt", 8),  # upper: US, IT
    (p.market_research_market_id, "mx", 771770), (p.market_research_market_id, "US", 1),
    (p.traffic_source_market_id, "com", 1), (p.traffic_source_market_id, "Com", 1),
    (p.traffic_source_market_id, "US", 1), (p.traffic_source_market_id, ShowsAs(StrSub("de")), 4),
    (p.market_id, ShowsAs("fr"), 5),
]
UNKNOWN = ["GB", "gb", "xx", "", " us", "us ", "U S", "USA", "COMX", "ｕｓ", 6, 4, 0, 1.0, True, False, None, [],
           ["US"], {"US": 1}]
STATION_FROM_ID = [
    (11, "MX"), ("11", "MX"), (" 4 ", "DE"), (4.9, "DE"), (True, "US"), ("abc", "JP"), (None, "JP"), ("", "JP"),
    ([], "JP"), ({}, "JP"), (float("nan"), "JP"), (2, "2"), ("2", "2"), (12, "12"), ("12", "12"),
    (" 12 ", " 12 "),  # the text form of the value itself, untrimmed
    (0, "0"), (False, "False"), (-1, "-1"), (2**64 + 1, str(2**64 + 1)), (-(2**70), str(-(2**70))), (12.5, "12.5"),
]
TRAFFIC_SOURCE_MARKET = [
    (None, "COM"), ("", "COM"), (0, "COM"), (False, "COM"), ([], "COM"), ("uk", "UK"), ("us", "COM"),
    ("de", "DE"), ("com", "COM"), ("gb", "GB"), ("xx ", "XX "), (5, "5"), (True, "TRUE"), ("straße", "STRASSE"),
    (["us"], "['US']"), (ShowsAs(StrSub("gb")), "GB"),
]
M = "bsr_sales_monthly_"
MONTH_NAME = [
    ("2026-03", M + "202603"), ("202604", M + "202604"), (202604, M + "202604"), ("last30", "bsr_sales_nearly"),
    ("30d", "bsr_sales_nearly"), ("nearly", "bsr_sales_nearly"), ("latest30", "bsr_sales_nearly"),
    (M + "202603", M + "202603"), (M + "2026-03", M + "2026-03"), ("bsr_sales_x-y", "bsr_sales_x-y"),
    ("30D", M + "30D"), ("Nearly", M + "Nearly"), (" 30d", M + " 30d"), ("", M), (None, M + "None"),
    (False, M + "False"), (-5, M + "5"), ("--2026--03--", M + "202603"), ("２０２６-０３", M + "２０２６０３"),
    ("2026—03", M + "2026—03"),  # an em dash is not a hyphen
    ("BSR_SALES_x", M + "BSR_SALES_x"), (ShowsAs(StrSub("bsr_sales_x")), "bsr_sales_x"),
    (ShowsAs(StrSub("2026-04")), M + "202604"),
]
HISTORY_DATE = [
    ("2026-03", "202603"), ("202604", "202604"), (202604, "202604"), (M + "202603", "202603"),
    (M + "2026-03", "2026-03"), (M + M + "2026", "2026"), ("x-" + M, "x" + M), ("nearly", ""),
    ("bsr_sales_nearly", ""), ("30d", ""), ("latest30", ""), ("last30", ""), ("30D", "30D"),
    ("bsr_sales_30d", "bsr_sales_30d"), (None, ""), ("", ""), (0, ""), (False, ""), ([], ""), (True, "True"),
    ("２０２６-０３", "２０２６０３"), (ShowsAs(StrSub("2026-03")), "202603"),
]
# fmt: on


@pytest.mark.parametrize("code, mid, research_id, traffic", STATIONS)
@pytest.mark.parametrize("spelling", [str.upper, str.lower, str.title])
def test_station_table(code, mid, research_id, traffic, spelling):
    text = spelling(code)
    assert p.market_id(text) == mid and type(p.market_id(text)) is int
    assert p.market_research_market_id(text) == research_id
    assert p.traffic_source_market(text) == traffic
    assert p.traffic_source_market_id(text) == p.traffic_source_market_id(traffic) == mid
    assert p.station_from_market_id(mid) == p.station_from_market_id(str(mid)) == code


@pytest.mark.parametrize("function, value, expected", KNOWN)
def test_known_codes(function, value, expected):
    assert function(value) == expected


@pytest.mark.parametrize("function", [p.market_id, p.market_research_market_id, p.traffic_source_market_id])
@pytest.mark.parametrize("value", UNKNOWN)
def test_unknown_codes_pass_through_unchanged(function, value):
    assert function(value) is value


def test_com_is_known_to_the_traffic_source_table_only():
    assert p.market_id("COM") == "COM"
    assert p.market_research_market_id("com") == "com"
    assert p.traffic_source_market_id("COM") == 1


@pytest.mark.parametrize(
    "function, value, expected",
    [(p.station_from_market_id, v, e) for v, e in STATION_FROM_ID]
    + [(p.traffic_source_market, v, e) for v, e in TRAFFIC_SOURCE_MARKET]
    + [(p.month_name, v, e) for v, e in MONTH_NAME]
    + [(p.history_date, v, e) for v, e in HISTORY_DATE],
)
def test_text_results(function, value, expected):
    result = function(value)
    assert result == expected and type(result) is str


def test_station_from_market_id_of_an_infinite_float():
    with pytest.raises(OverflowError):
        p.station_from_market_id(float("inf"))


ALL = [p.market_id, p.market_research_market_id, p.station_from_market_id, p.traffic_source_market,
       p.traffic_source_market_id, p.month_name, p.history_date]  # fmt: skip


@pytest.mark.parametrize("function", ALL)
def test_hostile_values(function):
    with pytest.raises(Boom):
        function(Hostile("str", "bool", "int"))
    value = ["us", {"k": [1, 2]}]
    function(value)
    assert value == ["us", {"k": [1, 2]}]  # arguments are never changed
    if function is not p.station_from_market_id:  # which reads it as a number first
        with pytest.raises(TypeError):
            function(ShowsAs(5))  # a __str__ that returns no text
