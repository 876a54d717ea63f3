"""Canonical category text, node-id paths, exact matching and the match errors."""

from __future__ import annotations

import os
import re

import pytest
from conftest import StrSub
from hypothesis import example, given, settings
from hypothesis import strategies as st

from zentrik.seller_sprite.api import categories as cat
from zentrik.seller_sprite.api.categories import CategoryNode, SellerSpriteCategoryResolver
from zentrik.seller_sprite.domain.exceptions import SellerSpriteConfigError

EXAMPLES = 60 if os.environ.get("ZENTRIK_SANITIZER") else 400


def reference_normalize(value: str) -> str:
    """The canonical form, written with the interpreter's own text tools."""
    text = (value or "").strip().replace("\uff1a", ":")
    text = re.sub(r"\s*:\s*", ":", text)
    return re.sub(r"\s+", " ", text).casefold()


SPECIAL = " \t\n\r\x0b\x0c\x1c\x1f\x85\u00a0\u2003\u3000\u200b::\uff1a\ufe13aAzZ\u00df\u1e9e\u0130\u03a3\u03c2\uff21\uff41\u00c9\u4e2d1\uff11"
TEXT = st.text(alphabet=st.one_of(st.sampled_from(SPECIAL), st.characters()), max_size=40)


@settings(max_examples=EXAMPLES)
@given(TEXT)
@example("\u3000Home & Kitchen \uff1a Kitchen &\tDining  \uff1aCoffee, Tea  &\u00a0Espresso \u3000")
@example("ABC")
def test_normalize_agrees_with_the_reference(text):
    assert cat._normalize_category_text(text) == reference_normalize(text)


@pytest.mark.parametrize(("text", "canonical"), [
    ("\u3000\u3000Home \uff1a KITCHEN\u3000", "home:kitchen"),
    ("Home : Kitchen", "home:kitchen"),
    ("a\t\n\u3000b  c d", "a b c d"),
    ("", ""), (" \t\u3000\u00a0", ""),
    ("Stra\u00dfe \uff26\uff35\uff2c\uff2c", "strasse \uff46\uff55\uff4c\uff4c"),
    ("a \ufe13 b", "a \ufe13 b"),
    (" : x : ", ":x:"),
])
def test_normalize_examples(text, canonical):
    assert cat._normalize_category_text(text) == canonical


def test_normalize_reads_a_str_subclass_label_as_its_text():
    node = CategoryNode("1", "1", StrSub(" KITCHEN "), StrSub(" Home : Kitchen "), False)
    assert cat._exact_matches("kitchen", [node]) == [node]
    assert cat._exact_matches("home:kitchen", [node]) == [node]


# --- node-id paths -----------------------------------------------------------------------------


class EmptyAnswers:
    def __init__(self) -> None:
        self.calls = 0

    async def category_nodes(self, **kwargs):
        self.calls += 1
        return {"items": []}


PATHISH = st.text(alphabet=st.sampled_from("0123456789\u0661\u0969\uff13\u00b2\u2460:\uff1a \t\u3000\na"), max_size=12)


@settings(max_examples=EXAMPLES)
@given(PATHISH)
@example("1:2\n")
@example("\u0661\u0662:\uff13")
@example("12:")
def test_node_path_recognition_agrees_with_the_pattern(text):
    client = EmptyAnswers()
    coro = SellerSpriteCategoryResolver(client).resolve(text, market=1, table="t")
    trimmed = text.strip()
    if not trimmed or cat.NODE_PATH_RE.fullmatch(trimmed):
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == trimmed and client.calls == 0
    else:
        with pytest.raises(SellerSpriteConfigError, match="未匹配到卖家精灵类目"):
            coro.send(None)
        assert client.calls == 1


# --- _exact_matches --------------------------------------------------------------------------

KITCHEN = CategoryNode("2", "1:2", "Kitchen & Dining", "Home & Kitchen:Kitchen & Dining", True)
APPLIANCE = CategoryNode("3", "9:3", "Kitchen & Dining", "Appliances:Kitchen & Dining", False)
HOME = CategoryNode("1", "1", "Home & Kitchen", "Home & Kitchen", True)
EMPTY = CategoryNode("", "", "", "", False)
WIDE = CategoryNode("4", "4", "\uff21\uff22", "\uff21\uff22", False)


@pytest.mark.parametrize(("text", "expected"), [
    ("home & KITCHEN : kitchen & dining", [KITCHEN]),
    ("\u3000Home & Kitchen\uff1aKitchen & Dining ", [KITCHEN]),
    ("kitchen & dining", [KITCHEN, APPLIANCE]),
    ("Home & Kitchen", [HOME]),
    ("Home", []),
    ("Kitchen", []),
    ("", []), ("  \u3000", []),
    ("\uff41\uff42", [WIDE]), ("AB", []),
])
def test_exact_matches(text, expected):
    assert cat._exact_matches(text, [HOME, KITCHEN, APPLIANCE, EMPTY, WIDE]) == expected


def test_exact_matches_keeps_order_and_duplicates_and_returns_a_new_list():
    nodes = [APPLIANCE, KITCHEN, APPLIANCE]
    found = cat._exact_matches("Kitchen & Dining", nodes)
    assert found == nodes and found is not nodes and found[0] is APPLIANCE


@pytest.mark.parametrize(("matches", "message"), [
    ([HOME, "x"], "expected a list of CategoryNode, got an element of type str"),
    ([CategoryNode("1", "1", 5, "x", False)], "CategoryNode.label must be str, not int"),
    ([CategoryNode("1", "1", "x", None, False)], "CategoryNode.label_path must be str, not NoneType"),
])
def test_exact_matches_rejects_what_is_not_a_node_of_texts(matches, message):
    with pytest.raises(TypeError) as info:
        cat._exact_matches("y", matches)
    assert str(info.value) == message


# --- _raise_match_error ----------------------------------------------------------------------


def several_message(value, nodes):
    candidates = [{"nodeIdPath": n.node_id_path, "labelPath": n.label_path} for n in nodes[:10]]
    return f"卖家精灵类目存在多个匹配：{value}。请补充完整类目路径或 nodeIdPath。候选：{candidates}"


def raised(value, nodes, scope="全部类目"):
    with pytest.raises(SellerSpriteConfigError) as info:
        cat._raise_match_error(value, nodes, scope=scope)
    assert type(info.value) is SellerSpriteConfigError and len(info.value.args) == 1
    return str(info.value)


def test_no_match_message():
    assert raised(" Kitchen ", [], scope="全部类目") == "未匹配到卖家精灵类目： Kitchen （范围：全部类目）"
    assert raised("x", [], scope="") == "未匹配到卖家精灵类目：x（范围：）"


@pytest.mark.parametrize("count", [1, 2, 10, 11, 25])
def test_several_matches_lists_at_most_ten(count):
    nodes = [CategoryNode(str(i), f"1:{i}", f"L{i}", f"Home:L{i}", False) for i in range(count)]
    message = raised("home", nodes)
    assert message == several_message("home", nodes)
    assert message.count("nodeIdPath':") == min(count, 10) and ("'1:10'" in message) is False


def test_several_matches_exact_text_with_quotes_and_chinese():
    nodes = [CategoryNode("1", "1:2", "O'Brien", "Home:O'Brien", False), CategoryNode("3", "3", "家居", "家居", True)]
    assert raised("o'brien", nodes) == (
        "卖家精灵类目存在多个匹配：o'brien。请补充完整类目路径或 nodeIdPath。候选："
        "[{'nodeIdPath': '1:2', 'labelPath': \"Home:O'Brien\"}, {'nodeIdPath': '3', 'labelPath': '家居'}]")


@pytest.mark.parametrize(("call", "message"), [
    (lambda: cat._normalize_category_text(StrSub("a")), "Argument 'value' has incorrect type (expected str, got StrSub)"),
    (lambda: cat._exact_matches("a", (HOME,)), "Argument 'matches' has incorrect type (expected list, got tuple)"),
    (lambda: cat._exact_matches(1, []), "Argument 'value' has incorrect type (expected str, got int)"),
    (lambda: cat._raise_match_error("a", []), "_raise_match_error() missing 1 required keyword-only argument: 'scope'"),
    (lambda: cat._raise_match_error("a", [1], scope="s"), "expected a list of CategoryNode, got an element of type int"),
])
def test_kind_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
