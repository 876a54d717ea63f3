"""The value model of the payloads module against the interpreter's own
semantics: text form vs str(), truth value vs bool(), integer conversion vs
int(), trim vs str.strip(), case mapping vs str.upper()/lower().

Each operation is observed through a module function that applies it
directly (csv, _query_text, month_name, _int, _market, ...)."""

from __future__ import annotations

import math
import os
import sys

import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st

from zentrik.seller_sprite.api import payloads as p

# fewer examples under the sanitizer build, which runs many times slower
EXAMPLES = 30 if os.environ.get("ZENTRIK_SANITIZER") else 150
checked = settings(deadline=None, max_examples=EXAMPLES)

# Every character the interpreter counts as whitespace: the Unicode
# White_Space set plus U+001C..U+001F, which is exactly what trimming removes.
WHITESPACE = "".join(chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace())
# Characters near the edges of the whitespace set that are NOT whitespace.
NOT_SPACE = "\u200b\u180e\ufeff\u2060\x1b\x7f\x00"
# Letters with irregular case mappings: ß -> SS, ŉ -> ʼN, ﬁ -> FI, ı -> I,
# ſ -> S, the Kelvin sign -> k, İ -> i̇, final sigma.
TRICKY = "ßŉﬁıſ\u212aİΣσςǅ"
DIGITS = "0123456789٠١٢٣٤٥٦٧٨٩०१२३४५६७८९０１２３４５６７８９𝟎𝟏𝟐"

texts = st.text(
    alphabet=st.sampled_from(WHITESPACE + NOT_SPACE + TRICKY + DIGITS + "aBz,-_. '\"[]") | st.characters(),
    max_size=24,
)
scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(10**60), max_value=10**60)
    | st.floats()
    | texts
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(texts, inner, max_size=4),
    max_leaves=12,
)
SENTINEL = -918_273_645_546_372_819_000  # a default no conversion can produce


def trimmed_pieces(text: str) -> list[str]:
    return [piece.strip() for piece in text.split(",") if piece.strip()]


# --- text form and trim ------------------------------------------------------


@checked
@given(values)
@example(1.0)
@example(1e16)
@example(0.00001)
@example(-0.0)
@example(float("nan"))
@example(float("-inf"))
@example([["a", 'b"c', "d'e", "\t\x00\u0100\U0001f600"]])
@example({"k": None, "q'": True})
def test_text_form_and_trim_of_one_list_element(value):
    text = str(value).strip()
    before = repr(value)
    assert p.csv([value]) == ([text] if text else [])
    assert repr(value) == before


@checked
@given(values)
@example("a, b ,,c")
@example("\u3000x\xa0,\x1cy\x1f")
@example({"a": 1, "b": 2})
@example(12)
@example(True)
def test_text_form_split_on_commas(value):
    assume(not isinstance(value, list))
    assert p.csv(value) == (trimmed_pieces(str(value)) if value else [])


@checked
@given(values)
def test_query_text_follows_str_strip_and_truth(value):
    if isinstance(value, list):
        expected = ",".join(t for t in (str(item).strip() for item in value) if t)
    else:
        expected = str(value or "").strip()
    result = p._query_text(value)
    assert result == expected
    assert type(result) is str


@checked
@given(st.lists(values, max_size=6))
def test_json_like_list_quotes_text_forms(items):
    assert p.json_like_list(items) == "[" + ",".join(f'"{item}"' for item in items) + "]"


@checked
@given(values)
@example("2026-03")
@example("bsr_sales_x-y")
@example(-5)
@example(["2026-03"])
def test_month_name_uses_str(value):
    text = str(value)
    if text in ("30d", "nearly", "latest30", "last30"):
        expected = "bsr_sales_nearly"
    elif text.startswith("bsr_sales_"):
        expected = text
    else:
        expected = "bsr_sales_monthly_" + text.replace("-", "")
    result = p.month_name(value)
    assert result == expected
    assert type(result) is str


@checked
@given(values)
@example("bsr_sales_monthly_bsr_sales_monthly_2026-03")
@example("bsr_sales_nearly")
@example("２０２６-０３")
def test_history_date_uses_str_and_truth(value):
    text = str(value or "")
    if text in ("", "30d", "nearly", "latest30", "last30", "bsr_sales_nearly"):
        expected = ""
    elif text.startswith("bsr_sales_monthly_"):
        expected = text.replace("bsr_sales_monthly_", "")
    else:
        expected = text.replace("-", "")
    assert p.history_date(value) == expected


@pytest.mark.parametrize("ch", list(WHITESPACE))
def test_every_whitespace_character_is_trimmed(ch):
    assert p._query_text(f"{ch}{ch}a{ch}b{ch}") == f"a{ch}b"
    assert p.csv(f"{ch},{ch}x{ch},") == ["x"]


@pytest.mark.parametrize("ch", list(NOT_SPACE))
def test_characters_next_to_whitespace_are_kept(ch):
    assert p._query_text(f" {ch}a{ch} ") == f"{ch}a{ch}"


# --- truth value ---------------------------------------------------------------


class Falsy:
    def __bool__(self):
        return False

    def __str__(self):
        return "us"


class Sized:
    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __str__(self):
        return "jp"


@checked
@given(values)
@example(0.0)
@example(-0.0)
@example(float("nan"))
@example(Falsy())
@example(Sized(0))
@example(Sized(2))
def test_truth_value_is_bool(value):
    # The fallback chain market -> site -> default takes "market" only when truthy.
    expected = str(value).upper() if value else "FR"
    assert p._market({"market": value, "site": "fr"}) == expected
    assert p.csv(value) == [] or bool(value)
    assert (p.history_date(value) == "") or bool(value)


@pytest.mark.parametrize("default", [0, 1, "", "x", [], [0], {}, 0.0, float("nan"), None, True, Sized(0)])
def test_truthy_of_none_is_truth_of_default(default):
    assert p.truthy(None, default=default) is bool(default)


# --- integer conversion ----------------------------------------------------------


def int_or_sentinel(value):
    """The oracle: int() of the value (of a text after str.strip()), the
    sentinel where int() raises TypeError or ValueError."""
    if isinstance(value, str):
        value = value.strip()
    try:
        return int(value)
    except (TypeError, ValueError):
        return SENTINEL


def signed_numbers():
    digit = st.sampled_from(DIGITS)
    group = st.text(alphabet=digit, min_size=1, max_size=6)
    body = st.lists(group, min_size=1, max_size=6).map("_".join)
    space = st.text(alphabet=st.sampled_from(WHITESPACE), max_size=3)
    sign = st.sampled_from(["", "+", "-"])
    return st.builds(lambda a, s, b, c: a + s + b + c, space, sign, body, space)


numberish = st.text(alphabet=st.sampled_from(DIGITS + WHITESPACE[:8] + "_+-.eE x\u00b2"), max_size=12)


@checked
@given(signed_numbers() | numberish | values)
@example("42")
@example(" 42 ")
@example("1_000")
@example("007")
@example("3.5")
@example("")
@example("1__0")
@example("_1")
@example("1_")
@example("+_1")
@example("--1")
@example("0x1f")
@example("\u00b2")
@example(3.9)
@example(-3.9)
@example(float("nan"))
@example(1e300)
def test_int_matches_int(value):
    if isinstance(value, float) and math.isinf(value):
        with pytest.raises(OverflowError):
            p._int(value, SENTINEL)
        return
    assert p._int(value, SENTINEL) == int_or_sentinel(value)


@pytest.mark.parametrize("ch", ["\x1c", "\x1d", "\x1e", "\x1f"])
def test_int_ignores_the_separators_that_int_refuses(ch):
    with pytest.raises(ValueError):
        int(f"{ch}42{ch}")
    assert p._int(f"{ch}42{ch}", SENTINEL) == 42
    assert p._int(f"{ch}-4_2\u3000", SENTINEL) == -42
    assert p.station_from_market_id(f"{ch}11{ch}") == "MX"


@pytest.mark.parametrize(
    "number",
    [
        2**63 - 1,
        2**63,
        -(2**63),
        -(2**63) - 1,
        2**64,
        10**18 - 1,
        10**18,
        -(10**19),
        10**100,
        -(7**300),
    ],
)
def test_integers_of_any_size_pass_through(number):
    assert p._int(number, SENTINEL) == number
    assert p._int(str(number), SENTINEL) == number
    assert p._int(f"  {number:_}\u3000", SENTINEL) == number
    assert p._int(float(number), SENTINEL) == int(float(number))


@pytest.mark.parametrize("ndigits", [17, 18, 19, 20, 40, 1000, 4300])
def test_long_digit_texts(ndigits):
    text = "9" * ndigits
    assert p._int(text, SENTINEL) == int(text)
    # leading zeros count towards the interpreter's limit on integer texts
    padded = "-" + "0" * 30 + text
    assert p._int(padded, SENTINEL) == int_or_sentinel(padded)
    arabic = text.translate(str.maketrans("9", "٩"))
    assert p._int(arabic, SENTINEL) == int(text)
    underscored = "_".join(text)
    assert p._int(underscored, SENTINEL) == int(text)
    assert p._int(underscored + "_", SENTINEL) == SENTINEL
    assert p._int(text + ".0", SENTINEL) == SENTINEL


def test_digit_texts_beyond_the_interpreter_limit_fall_back_like_int():
    limit = sys.get_int_max_str_digits() if hasattr(sys, "get_int_max_str_digits") else 0
    if not limit:
        pytest.skip("the interpreter has no limit on integer texts")
    text = "1" * (limit + 1)
    with pytest.raises(ValueError):
        int(text)
    assert p._int(text, SENTINEL) == SENTINEL
    assert p._int(" " + text + " ", 5) == 5
    assert p.station_from_market_id(text) == "JP"  # unconvertible: the id 6


# --- case mapping ------------------------------------------------------------------

words = st.text(alphabet=st.sampled_from("fFaAlLsSeEtTrRuUyYnN01 " + TRICKY + "\u0130"), max_size=6)
codes = st.text(alphabet=st.sampled_from("usUSıſkKjpJPmxMXcaeidnfrtgbo" + "ß"), max_size=3)
MARKET_IDS = {"US": 1, "UK": 3, "DE": 4, "FR": 5, "JP": 6, "CA": 7, "IT": 8, "ES": 9, "IN": 10, "MX": 11}


@checked
@given(words)
@example("FALSE")
@example("faLse")
@example(" false")
@example("YES")
@example("Y")
@example("\u0130")
def test_order_desc_and_truthy_use_lower(text):
    assert p.order_desc(text) is (text.lower() != "false")
    assert p.truthy(text) is (text.lower() in ("1", "true", "yes", "y"))


@checked
@given(codes | texts)
@example("ıt")
@example("uſ")
@example("ß")
@example("ﬁ")
def test_market_and_market_id_use_upper(text):
    assert p._market({"market": text}) == (text.upper() if text else "DE")
    expected = MARKET_IDS.get(text.upper(), text)
    assert p.market_id(text) == expected
    if text.upper() not in MARKET_IDS:
        assert p.market_id(text) is text


@checked
@given(values)
def test_market_id_of_any_value(value):
    result = p.market_id(value)
    key = str(value or "").upper()
    if key in MARKET_IDS:
        assert result == MARKET_IDS[key]
    else:
        assert result is value
