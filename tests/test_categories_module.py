"""The categories module as a whole: its surface, how it loads, its stub, the
demonstration's offline client, and leaks of the parsing and matching functions."""

from __future__ import annotations

import asyncio
import importlib.util
import pathlib
import pydoc
import subprocess
import sys

import pytest
from conftest import bare_signature, mypy_env

from zentrik.seller_sprite.api import categories as cat
from zentrik.seller_sprite.api import payloads
from zentrik.seller_sprite.api.categories import CategoryNode, SellerSpriteCategoryResolver
from zentrik.seller_sprite.domain.exceptions import SellerSpriteConfigError
from zentrik_native.sample_client import OfflineCategoryClient

ROOT = pathlib.Path(__file__).resolve().parent.parent
RESOLVER = SellerSpriteCategoryResolver(None)

SIGNATURES = [
    (cat._category_key, "(params)", None),
    (cat._parse_nodes, "(payload, *, parent_path)", None),
    (cat._parse_node, "(item, *, parent_path)", None),
    (cat._label, "(item)", None),
    (cat._normalize_category_text, "(value)", None),
    (cat._exact_matches, "(value, matches)", None),
    (cat._raise_match_error, "(value, matches, *, scope)", None),
    (CategoryNode, "(id, node_id_path, label, label_path, has_children)",
     "CategoryNode(id: str, node_id_path: str, label: str, label_path: str, has_children: bool)"),
    (SellerSpriteCategoryResolver, "(client)", "通过卖家精灵类目接口解析类目文本。"),
    (RESOLVER.resolve_params, "(params, *, scenario, site, period)", None),
    (RESOLVER.resolve, "(value, *, market, table)", None),
    (RESOLVER._resolve_label, "(value, *, market, table)", None),
    (RESOLVER._nodes, "(*, market, table, node_id_path='', node_label_path='')", None),
]


@pytest.mark.parametrize(("obj", "signature", "doc"), SIGNATURES)
def test_signatures_and_docstrings(obj, signature, doc):
    assert bare_signature(obj) == signature
    assert obj.__doc__ == doc


def test_module_surface_and_help():
    assert cat.__doc__ == "卖家精灵类目节点解析。"
    assert cat.csv is payloads.csv and cat.market_id is payloads.market_id and cat.month_name is payloads.month_name
    assert cat.SellerSpriteConfigError is SellerSpriteConfigError
    assert cat.NODE_PATH_RE.pattern == r"^\d+(?::\d+)*$" and cat.CATEGORY_KEYS == (
        "nodeIdPaths", "nodeIdPath", "node", "category")
    text = pydoc.render_doc(cat, renderer=pydoc.plaintext)
    assert "SellerSpriteCategoryResolver(client)" in text and "卖家精灵类目节点解析。" in text
    assert "_exact_matches(value: " in pydoc.render_doc(cat._exact_matches, renderer=pydoc.plaintext)


LOAD = """
import sys, types
name, drop = sys.argv[1], sys.argv[2]
if drop == "*":
    sys.modules[name] = None
else:
    import importlib
    module = importlib.import_module(name)
    stand_in = types.ModuleType(name)
    stand_in.__dict__.update({k: v for k, v in vars(module).items() if k != drop})
    sys.modules[name] = stand_in
try:
    import zentrik.seller_sprite.api.categories
except BaseException as exc:
    print(type(exc).__name__, exc, getattr(exc, "name", None), sep="|")
else:
    print("loaded")
"""


@pytest.mark.parametrize(("module", "drop", "expected"), [
    ("zentrik.seller_sprite.domain.exceptions", "SellerSpriteConfigError",
     "ImportError|cannot import name 'SellerSpriteConfigError' from 'zentrik.seller_sprite.domain.exceptions' "
     "(PATH)|zentrik.seller_sprite.domain.exceptions"),
    ("zentrik.seller_sprite.api.payloads", "month_name",
     "ImportError|cannot import name 'month_name' from 'zentrik.seller_sprite.api.payloads' (PATH)"
     "|zentrik.seller_sprite.api.payloads"),
    ("zentrik.seller_sprite.api.payloads", "*",
     "ModuleNotFoundError|import of zentrik.seller_sprite.api.payloads halted; None in sys.modules"
     "|zentrik.seller_sprite.api.payloads"),
    ("zentrik.seller_sprite.api.payloads", "nothing", "loaded"),
])
def test_loading_fails_when_a_name_cannot_be_bound(module, drop, expected):
    out = subprocess.run([sys.executable, "-c", LOAD, module, drop], capture_output=True, text=True, check=True)
    if "(PATH)" in expected:
        spec = importlib.util.find_spec(module)
        expected = expected.replace("PATH", spec.origin)
    assert out.stdout.strip() == expected


# --- the demonstration's offline client -------------------------------------------------------


def test_offline_client_resolves_typed_category_text():
    resolver = SellerSpriteCategoryResolver(OfflineCategoryClient())
    options = {"market": "us", "month": "2026-03",
               "category": "\u3000HOME & Kitchen \uff1a kitchen & dining , 1055398:1063306, toys & games"}
    resolved = asyncio.run(resolver.resolve_params(options, scenario="product-research", site="US", period="nearly"))
    assert resolved["category"] == ["1055398:284507", "1055398:1063306", "165793011"]
    payload = payloads.make_product_research_payload(resolved)
    assert "1055398:284507" in str(payload)
    with pytest.raises(SellerSpriteConfigError, match=r"多个匹配：Kitchen & Dining。.*'2619525011:2619526011'"):
        asyncio.run(resolver.resolve("Kitchen & Dining", market=1, table="t"))
    with pytest.raises(SellerSpriteConfigError, match="未匹配到卖家精灵类目：Garden（范围：全部类目）"):
        asyncio.run(resolver.resolve("Garden", market=1, table="t"))


def test_offline_client_browses_the_tree():
    client = OfflineCategoryClient([{"id": "1", "label": "A", "children": [{"id": "2", "label": "B"}]}])
    roots = asyncio.run(client.category_nodes(market_id=1, table="t"))
    children = asyncio.run(client.category_nodes(market_id=1, table="t", node_id_path="1"))
    assert roots == {"items": [{"id": "1", "nodeIdPath": "1", "nodeLabel": "A", "nodeLabelPath": "A",
                                "hasChildren": True}]}
    assert [item["nodeLabelPath"] for item in children["items"]] == ["A:B"]
    assert cat._parse_nodes(children, parent_path="1") == [CategoryNode("2", "1:2", "B", "A:B", False)]


# --- the stub ---------------------------------------------------------------------------------

BAD_USES = """\
from zentrik.seller_sprite.api.categories import CategoryNode, SellerSpriteCategoryResolver, _normalize_category_text
from zentrik.seller_sprite.api import categories
node = CategoryNode("1", "1", "A", "A", False)
resolver = SellerSpriteCategoryResolver(object())
node.label = "B"
_normalize_category_text(None)
categories._parse_nodes({}, "")
text: int = categories._label({})
resolver.resolve("x", market=1)
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stub_checks_with_mypy(tmp_path):
    bad = tmp_path / "bad_uses.py"
    bad.write_text(BAD_USES)
    good = ROOT / "tests" / "stub_examples" / "categories_examples.py"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(good), str(bad)],
        capture_output=True, text=True, env=mypy_env(), cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "categories_examples" in e], result.stdout
    # one error on each bad line (4 to 9), and none elsewhere
    assert sorted({int(e.split(":")[1]) for e in errors}) == list(range(4, 10)), result.stdout


# --- leaks of the module functions ------------------------------------------------------------
