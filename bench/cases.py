"""The benchmark's cases: each a name, a description and a setup that returns
a zero-argument callable (functools.partial keeps the call overhead small)."""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Any, Callable

import samples


@dataclass
class Case:
    name: str
    doc: str
    setup: Callable[[], Callable[[], Any]]


CASES: list[Case] = []


def case(name: str, doc: str, setup: Callable[[], Callable[[], Any]]) -> None:
    CASES.append(Case(name, doc, setup))


def payloads():
    from zentrik.seller_sprite.api import payloads as module

    return module


case("meta.call_overhead", "partial(len, ()): the harness's own cost per call",
     lambda: functools.partial(len, ()))

# Builders: an empty map and a realistic command-line option map each.
for short, func, options in samples.BUILDERS:
    for variant, opts in (("empty", {}), ("cli", options)):
        case(f"build.{short}.{variant}", f"{func}({'{}' if not opts else '%d options' % len(opts)})",
             lambda func=func, opts=opts: functools.partial(getattr(payloads(), func), opts))

# Referers of realistic payloads.
for scenario, payload in samples.REFERER_PAYLOADS.items():
    case(f"referer.{scenario}", f"build_referer(<{len(payload)}-key payload>, {scenario!r})",
         lambda scenario=scenario, payload=payload: functools.partial(payloads().build_referer, payload, scenario))

# Coercion and months on typical option values.
for name, func, call_args in (
    ("coerce.csv.text", "csv", ("B07YRMT36L, B08N5WRWNW,,B09G9FPHY6 ",)),
    ("coerce.csv.list", "csv", (["B07YRMT36L", " B08N5WRWNW", ""],)),
    ("coerce.month_name", "month_name", ("2026-03",)),
    ("coerce.int.text", "_int", ("50", 100)),
    ("coerce.int.none", "_int", (None, 100)),
    ("coerce.truthy.yes", "truthy", ("yes",)),
):
    case(name, f"{func}{call_args!r}",
         lambda func=func, call_args=call_args: functools.partial(getattr(payloads(), func), *call_args))


# Categories: normalisation, exact matching against 20 nodes, and
# resolve_params of three labels whose answers are cached, driven by one
# send(None) (the coroutine does not suspend on cache hits).
def categories():
    from zentrik_native import standins

    standins.ensure()  # without the host tool, the module binds the stand-in's error
    from zentrik.seller_sprite.api import categories as module

    return module


case("categories.normalize", "_normalize_category_text(<mixed text>)",
     lambda: functools.partial(categories()._normalize_category_text, samples.CATEGORY_TEXT))


def _nodes():
    node = categories().CategoryNode
    return [node(*fields) for fields in samples.CATEGORY_NODES]


case("categories.exact_matches.20", "_exact_matches('home & KITCHEN : Kitchen & Dining', <20 nodes>)",
     lambda: functools.partial(categories()._exact_matches, "home & KITCHEN : Kitchen & Dining", _nodes()))


def _resolve_cached():
    import asyncio

    class Client:
        async def category_nodes(self, *, market_id, table, node_id_path=None, node_label_path=None):
            return samples.CATEGORY_BODIES[node_label_path]

    resolver = categories().SellerSpriteCategoryResolver(Client())
    keywords = {"scenario": "product-research", "site": "US", "period": "2026-03"}

    async def warm():
        return await resolver.resolve_params(samples.RESOLVE_PARAMS, **keywords)

    asyncio.run(warm())

    def run():
        coro = resolver.resolve_params(samples.RESOLVE_PARAMS, **keywords)
        try:
            coro.send(None)
        except StopIteration as stop:
            return stop.value
        raise RuntimeError("suspended although every answer is cached")

    return run


case("categories.resolve_params.cached", "resolve_params(<3 labels, answers cached>) by send(None)",
     _resolve_cached)


# Credential encryption: a 64-byte credential and 1 MiB of text.
def _crypto():
    import atexit
    import shutil
    import tempfile
    from pathlib import Path

    from zentrik.auth.storage.crypto import Crypto

    folder = tempfile.mkdtemp(prefix="zentrik-bench-")
    atexit.register(shutil.rmtree, folder, True)
    return Crypto(Path(folder) / "credential.key")


def _roundtrip(text):
    def setup():
        c = _crypto()
        encrypt, decrypt = c.encrypt, c.decrypt
        return lambda: decrypt(encrypt(text))

    return setup


case("crypto.encrypt.64B", "Crypto.encrypt(<64-byte credential>)",
     lambda: functools.partial(_crypto().encrypt, samples.CREDENTIAL_64))
case("crypto.roundtrip.64B", "decrypt(encrypt(<64-byte credential>))", _roundtrip(samples.CREDENTIAL_64))
case("crypto.roundtrip.64KiB", "decrypt(encrypt(<64 KiB text>))", _roundtrip(samples.TEXT_1MIB[:64 * 1024]))
case("crypto.roundtrip.1MiB", "decrypt(encrypt(<1 MiB text>))", _roundtrip(samples.TEXT_1MIB))
