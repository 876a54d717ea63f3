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
