# Checked by mypy against the categories stub (see tests/test_categories_module.py).
import asyncio
import re
from typing import Any

from zentrik.seller_sprite.api import categories
from zentrik.seller_sprite.api.categories import CategoryNode, SellerSpriteCategoryResolver
from zentrik.seller_sprite.domain.exceptions import SellerSpriteConfigError
from zentrik_native.sample_client import OfflineCategoryClient


class Client:
    async def category_nodes(
        self, *, market_id: Any, table: str, node_id_path: str | None = None, node_label_path: str | None = None
    ) -> dict[str, Any]:
        return {"items": []}


async def resolve(params: dict[str, Any]) -> dict[str, Any]:
    resolver = SellerSpriteCategoryResolver(Client())
    offline = SellerSpriteCategoryResolver(OfflineCategoryClient())
    path: str = await resolver.resolve("Toys", market=1, table="bsr_sales_nearly")
    label: str = await offline._resolve_label(path, market=1, table="t")
    nodes: list[CategoryNode] = await resolver._nodes(market=1, table="t", node_id_path=label)
    cached: dict[str, list[CategoryNode]] = resolver._cache
    assert nodes and cached
    return await resolver.resolve_params(params, scenario="product-research", site="US", period="nearly")


def use_nodes(payload: dict[str, Any]) -> str:
    nodes = categories._parse_nodes(payload, parent_path="")
    node = CategoryNode(id="1", node_id_path="1", label="A", label_path="A", has_children=False)
    first: CategoryNode = categories._parse_node({"id": 1}, parent_path="1")
    key: str | None = categories._category_key({"node": "x"})
    pattern: re.Pattern[str] = categories.NODE_PATH_RE
    keys: tuple[str, str, str, str] = categories.CATEGORY_KEYS
    found: list[CategoryNode] = categories._exact_matches(categories._normalize_category_text("a"), nodes)
    if not found:
        try:
            categories._raise_match_error("a", [node, first], scope="全部类目")
        except SellerSpriteConfigError as exc:
            return str(exc) + (key or "") + pattern.pattern + keys[0] + categories._label({})
    resolved: list[str] = asyncio.run(resolve({"category": node.label_path}))["category"]
    return resolved[0]
