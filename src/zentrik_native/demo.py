"""Demonstration of the native modules on built-in sample options.

Run with ``python -m zentrik_native.demo``. For each research scenario it builds the
payload from a sample option map and prints it as JSON with its web referer;
it resolves category text through an offline client that answers from a
small sample category tree; and it encrypts and decrypts a sample credential
under a key file in a temporary directory.
"""

from __future__ import annotations

import asyncio
import json
import os
import stat
import tempfile
from pathlib import Path
from typing import Any

from zentrik.seller_sprite.api import payloads

from zentrik_native import standins

SAMPLES: dict[str, tuple[str, dict[str, Any]]] = {
    "competitor-lookup": ("make_competitor_payload", {
        "market": "us", "month": "2026-03", "asins": "B07YRMT36L, B08N5WRWNW",
        "page": "2", "size": "50", "node": "1055398:284507", "orderField": "total_units",
        "orderDesc": "false", "keyword": "garlic press", "brand": "OXO",
    }),
    "keyword-miner": ("make_keyword_miner_payload", {
        "keyword": "garlic press", "market": "us", "month": "2026-03", "rootWord": "yes",
    }),
    "keyword-reverse": ("make_keyword_reverse_payload", {
        "asin": "B07YRMT36L", "market": "us", "page": "3", "limit": "50",
        "badges": "amazon_choice, best_seller",
    }),
    "traffic-source": ("make_traffic_source_payload", {
        "asins": ["B07YRMT36L", " B08N5WRWNW ", ""], "site": "us", "month": "202604",
    }),
    "product-research": ("make_product_research_payload", {
        "market": "us", "recommendationMode": "Low Price Long Tail", "priceMax": 25,
        "minUnits": "300", "availableMonth": 6, "badgeAC": "yes", "node": "1055398:284507",
    }),
    "market-research": ("make_market_research_payload", {
        "market": "de", "node": "1055398", "topN": "20", "newReleaseNum": "3m",
        "keyword": ["kitchen", " dining "], "minAvgSales": 300, "sellerNations": "US,CN",
    }),
}


def show_payload(scenario: str, payload: dict[str, Any]) -> None:
    print(f"== {scenario}")
    print(json.dumps(payload, ensure_ascii=False))
    print("referer:", payloads.build_referer(payload, scenario))
    print()


def demo_payloads() -> None:
    for scenario, (builder, options) in SAMPLES.items():
        show_payload(scenario, getattr(payloads, builder)(options))


def demo_categories() -> None:
    # Without the host tool, the categories module binds the stand-in's error.
    standins.ensure()
    from zentrik.seller_sprite.api.categories import SellerSpriteCategoryResolver

    from zentrik_native.sample_client import OfflineCategoryClient

    options = {
        "market": "us",
        "month": "2026-03",
        "category": "\u3000HOME & Kitchen ： kitchen & dining , 1055398:1063306",
        "minUnits": "300",
    }
    resolver = SellerSpriteCategoryResolver(OfflineCategoryClient())
    resolved = asyncio.run(resolver.resolve_params(
        options, scenario="product-research", site="US", period="2026-03"))
    print("== category text resolved offline")
    print("typed:   ", json.dumps(options["category"], ensure_ascii=False))
    print("resolved:", json.dumps(resolved["category"], ensure_ascii=False))
    print()
    show_payload("product-research", payloads.make_product_research_payload(resolved))


def demo_crypto() -> None:
    from zentrik.auth.storage.crypto import Crypto

    credential = "seller@example.com:Tk7x9QmV2Lr8Tz1Wb5Nc7PdJ4hG6sK3a"
    with tempfile.TemporaryDirectory(prefix="zentrik-demo-") as folder:
        key_path = Path(folder) / "credential.key"
        crypto = Crypto(key_path)
        value = crypto.encrypt(credential)
        back = Crypto(key_path).decrypt(value)
        mode = stat.S_IMODE(os.stat(key_path).st_mode)
        print("== credential encryption")
        print(f"key file: {key_path.stat().st_size} bytes, mode {mode:04o}")
        print(f"encrypted: {len(value)} bytes (12 nonce + {len(credential.encode())} text + 16 tag)")
        print("decrypted equals the credential:", back == credential)


def main() -> None:
    demo_payloads()
    for part in (demo_categories, demo_crypto):
        try:
            part()
        except ModuleNotFoundError as exc:
            if not (exc.name or "").startswith("zentrik."):
                raise
            print(f"== {part.__name__}: skipped, {exc.name} is not built")


if __name__ == "__main__":
    main()
