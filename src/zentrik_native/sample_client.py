"""An offline SellerSprite category client for the demonstration.

It answers the resolver's ``category_nodes`` lookups from the small category
tree shipped as ``sample_categories.json`` instead of asking the service, in
the service's answer shape (``{"items": [node records]}``)::

    resolver = SellerSpriteCategoryResolver(OfflineCategoryClient())
    params = asyncio.run(resolver.resolve_params(
        {"category": "Home & Kitchen：Kitchen & Dining"},
        scenario="product-research", site="US", period="2026-03"))

Like the service's lookup it is loose: a label text finds every node whose
label path or label reads the same in any letter case and spacing, so a bare
label that occurs twice in the tree ("Kitchen & Dining") finds two nodes and
the resolver reports both. The same tree serves every market and month.
"""

from __future__ import annotations

import json
import re
from importlib import resources
from typing import Any

__all__ = ["OfflineCategoryClient"]

_COLON = re.compile(r"\s*[:：]\s*")
_SPACES = re.compile(r"\s+")


def _loose(text: str) -> str:
    """The text as the lookup compares it: colons and spaces collapsed, case folded."""
    return _SPACES.sub(" ", _COLON.sub(":", text.strip())).casefold()


def _records(tree: list[dict[str, Any]], parent_ids: str = "", parent_labels: str = "") -> list[dict[str, Any]]:
    """The tree as the service's node records, parents before their children."""
    records: list[dict[str, Any]] = []
    for node in tree:
        ids = f"{parent_ids}:{node['id']}" if parent_ids else node["id"]
        labels = f"{parent_labels}:{node['label']}" if parent_labels else node["label"]
        children = node.get("children", [])
        records.append({
            "id": node["id"],
            "nodeIdPath": ids,
            "nodeLabel": node["label"],
            "nodeLabelPath": labels,
            "hasChildren": bool(children),
        })
        records.extend(_records(children, ids, labels))
    return records


class OfflineCategoryClient:
    """Answers category lookups from a category tree held in memory.

    ``tree`` is a list of ``{"id", "label", "children"}`` nodes; by default the
    sample tree shipped with the package.
    """

    def __init__(self, tree: list[dict[str, Any]] | None = None) -> None:
        if tree is None:
            sample = resources.files("zentrik_native").joinpath("sample_categories.json")
            tree = json.loads(sample.read_text(encoding="utf-8"))
        self.records = _records(tree)

    async def category_nodes(
        self,
        *,
        market_id: Any,
        table: str,
        node_id_path: str | None = None,
        node_label_path: str | None = None,
    ) -> dict[str, Any]:
        """The nodes that a label (path) names, the children of a node-id
        path, or the top-level nodes when neither is given."""
        if node_label_path:
            wanted = _loose(node_label_path)
            items = [r for r in self.records
                     if wanted in (_loose(r["nodeLabelPath"]), _loose(r["nodeLabel"]))]
        elif node_id_path:
            items = [r for r in self.records if r["nodeIdPath"].rpartition(":")[0] == node_id_path]
        else:
            items = [r for r in self.records if ":" not in r["nodeIdPath"]]
        return {"items": [dict(r) for r in items]}
