"""The leak gate: every function and method of the three native modules, run in
a loop over ordinary inputs and over every error path, must leave the memory
in use where it found it.

Each recipe below is a list of calls with the outcome each must have (a result,
or one named exception). A recipe is first run once with its outcomes checked,
so a recipe that silently stopped reaching its error path fails; then it runs
for a warm-up and a measured window of rounds, and the gate fails when a meter
grew beyond noise in each of several windows: a leak grows in every one,
the interpreter's own caches settle.

Meters: `sys.getallocatedblocks()` (the interpreter's own allocator); the
bytes in use on the C heap, which is where C++ objects, OpenSSL contexts and
large Python objects live and which the block count cannot see: glibc's
`mallinfo2()` normally, and AddressSanitizer's allocator statistics under the
sanitizer build (there `PYTHONMALLOC=malloc` leaves the block count at zero,
and every allocation, Python's included, goes through ASan); and the summed
reference counts of the objects a recipe hands in, since a reference kept to
an object that lives on anyway allocates nothing at all; under a debug build
of the interpreter also `sys.gettotalrefcount()`, which counts every reference
there is, so a reference kept to any object at all shows. Before each reading
the collector runs and the interpreter's type cache is emptied (see settle).

The functions and methods are enumerated from the modules; the enumeration
must match the recipe table exactly, so a function added later without a
recipe fails the gate.
"""

from __future__ import annotations

import asyncio
import copy
import ctypes
import gc
import inspect
import math
import os
import pickle
import sys
import sysconfig
import time
import types
import warnings
from collections import OrderedDict
from typing import Any, Callable, Iterable

import pytest
from conftest import Boom, CollidingKey, Hostile, Mutator, ShowsAs, StrSub

from zentrik.auth.storage import crypto as cr
from zentrik.seller_sprite.api import categories as cat
from zentrik.seller_sprite.api import payloads as p
from zentrik.seller_sprite.domain.exceptions import SellerSpriteConfigError

MODULES = {"payloads": p, "categories": cat, "crypto": cr}
SANITIZER = bool(os.environ.get("ZENTRIK_SANITIZER"))

# Rounds are sized so that a measured window takes about BUDGET seconds, within
# these bounds. A leak of one block per round outgrows the slack many times over
# even at the lowest count.
BUDGET = 0.3 if SANITIZER else 0.12
MIN_ROUNDS, MAX_ROUNDS = (40, 400) if SANITIZER else (150, 2000)
BLOCK_SLACK = 20
# A leak grows in every window; what the interpreter's own warm-up leaves
# (caches, shared keys, an event loop's first runs) settles within a few.
WINDOWS = 4
# bytes; glibc's books move by a few kilobytes now and then, ASan's hardly
HEAP_SLACK = 512 if SANITIZER else 2048
REFERENCE_SLACK = 10
# what the interpreter's own references move by settles within a few
TOTAL_REFERENCE_SLACK = 10


# --- meters ----------------------------------------------------------------------------------


class Meter:
    def __init__(self, name: str, read: Callable[[], int], slack: int) -> None:
        self.name, self.read, self.slack = name, read, slack


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")
    ]  # fmt: skip


def _heap_meter() -> Meter | None:
    """Bytes in use on the C heap, where this process can tell."""
    try:
        libc = ctypes.CDLL(None)
    except OSError:
        return None
    asan = getattr(libc, "__sanitizer_get_current_allocated_bytes", None)
    if asan is not None:
        asan.restype, asan.argtypes = ctypes.c_size_t, []
        return Meter("heap bytes (ASan)", lambda: int(asan()), HEAP_SLACK)
    mallinfo2 = getattr(libc, "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype, mallinfo2.argtypes = _MallInfo2, []

    def in_use() -> int:
        info = mallinfo2()
        return int(info.uordblks + info.hblkhd)

    if in_use() == 0:  # an allocator that does not keep glibc's books
        return None
    return Meter("heap bytes", in_use, HEAP_SLACK)


# Objects whose reference count moves with everything the interpreter does.
_SHARED = (type, types.ModuleType, types.FunctionType, types.BuiltinFunctionType, types.MethodType, types.CodeType)


def _shared(o: Any) -> bool:
    if o is None or o is NotImplemented or o is Ellipsis or isinstance(o, (bool, _SHARED)):
        return True
    if type(o) is int:
        return -5 <= o <= 256
    if type(o) in (str, bytes, tuple):
        return len(o) <= 1  # the interpreter keeps one of each
    return False


def references_meter(calls: list[Call]) -> Meter:
    """The summed reference counts of the objects a recipe hands to the
    modules: its arguments, what the calls' closures hold, and what these
    contain. A reference the modules keep to an object that stays alive
    anyway allocates nothing, so only this meter sees it."""
    held: dict[int, Any] = {}
    stack: list[tuple[Any, int]] = []
    for call in calls:
        roots = [*call.args, *call.kwargs.values(), *(getattr(call.fn, "__defaults__", None) or ())]
        roots += [cell.cell_contents for cell in getattr(call.fn, "__closure__", None) or () if _has_contents(cell)]
        stack += [(root, 0) for root in roots]
    while stack:
        o, depth = stack.pop()
        if id(o) in held or _shared(o):
            continue
        held[id(o)] = o
        if depth < 4 and len(held) < 50_000:
            stack += [(r, depth + 1) for r in gc.get_referents(o)]
    objects = list(held.values())
    return Meter("references", lambda: sum(map(sys.getrefcount, objects)), REFERENCE_SLACK)


def _has_contents(cell: Any) -> bool:
    try:
        cell.cell_contents
    except ValueError:  # a cell not filled yet
        return False
    return True


# On a free-threaded 3.13 the interpreter's block count grows by itself:
# a dict caught in a reference cycle and freed by the collector after an
# exception was raised and caught leaves blocks behind in pure Python code
# (about 0.6 a call), so that meter would report the interpreter, not us.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def _meters() -> list[Meter]:
    meters = []
    if sys.getallocatedblocks() > 0 and not FREE_THREADED:  # zero when the interpreter's allocator is not in use
        meters.append(Meter("blocks", sys.getallocatedblocks, BLOCK_SLACK))
    heap = _heap_meter()
    if heap is not None:
        meters.append(heap)
    if hasattr(sys, "gettotalrefcount"):  # a debug build of the interpreter
        meters.append(Meter("total references", sys.gettotalrefcount, TOTAL_REFERENCE_SLACK))
    return meters


METERS = _meters()


# --- calls and their outcomes ----------------------------------------------------------------

RETURNS = None  # the outcome of a call that returns


def outcome(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> type[BaseException] | None:
    try:
        fn(*args, **kwargs)
    except (Exception, GeneratorExit) as exc:  # noqa: BLE001 - the outcome is what is observed
        return type(exc)
    return RETURNS


class Call:
    """One call of a recipe and the outcome it must have."""

    __slots__ = ("expect", "fn", "args", "kwargs")

    def __init__(self, expect: type[BaseException] | None, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
        self.expect, self.fn, self.args, self.kwargs = expect, fn, args, kwargs

    def run(self) -> None:
        try:
            self.fn(*self.args, **self.kwargs)
        except (Exception, GeneratorExit):  # noqa: BLE001 - error paths are what is looped
            pass

    def check(self) -> None:
        if self.expect is RETURNS:
            self.fn(*self.args, **self.kwargs)
            return
        with pytest.raises(self.expect):
            self.fn(*self.args, **self.kwargs)

    def __repr__(self) -> str:
        name = getattr(self.fn, "__qualname__", repr(self.fn))
        shown = ", ".join([*(repr(a)[:60] for a in self.args), *(f"{k}={v!r}"[:60] for k, v in self.kwargs.items())])
        return f"{name}({shown}) -> {getattr(self.expect, '__name__', 'returns')}"


def ok(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Call:
    return Call(RETURNS, fn, *args, **kwargs)


def err(expect: type[BaseException], fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Call:
    return Call(expect, fn, *args, **kwargs)


def observed(allowed: tuple[type[BaseException], ...], fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Call:
    """A call whose outcome is whatever it is now, provided it is a result or
    one of the `allowed` errors (a SystemError, say, never is)."""
    got = outcome(fn, *args, **kwargs)
    if got is not RETURNS and not issubclass(got, allowed):
        try:
            fn(*args, **kwargs)
        except (Exception, GeneratorExit) as exc:  # noqa: BLE001
            raise AssertionError(f"{fn.__qualname__} raised {exc!r}, which none of {allowed} is") from exc
    return Call(got, fn, *args, **kwargs)


def argument_errors(fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any] | None = None) -> list[Call]:
    """The arity and keyword errors of a function, around one good call of it
    that passes every positional-or-keyword parameter by position and every
    keyword-only one by name."""
    kwargs = kwargs or {}
    params = list(inspect.signature(fn).parameters.values())
    positional = [q.name for q in params if q.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    required_kw = [q.name for q in params if q.kind is inspect.Parameter.KEYWORD_ONLY and q.default is q.empty]
    calls = [
        err(TypeError, fn, *args, None, **kwargs),  # one positional too many
        err(TypeError, fn, *args, **kwargs, bogus=1),
    ]
    if any(q.default is q.empty for q in params):
        calls.append(err(TypeError, fn))
    if args:
        calls.append(err(TypeError, fn, *args, **kwargs, **{positional[0]: args[0]}))  # given twice
        if any(q.default is q.empty for q in params if q.name == positional[len(args) - 1]):
            calls.append(err(TypeError, fn, *args[:-1], **kwargs))
    for name in required_kw:
        calls.append(err(TypeError, fn, *args, **{k: v for k, v in kwargs.items() if k != name}))
    return calls


def kind_errors(
    fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any], checked: dict[str, type]
) -> list[Call]:
    """TypeError for every argument named in `checked` given as None, as a
    subclass of its kind, or as another kind."""
    names = [q.name for q in inspect.signature(fn).parameters.values()]
    wrong = {
        dict: [None, OrderedDict(), [], "x"],
        str: [None, StrSub("x"), b"x", 1],
        list: [None, (), type("ListSub", (list,), {})(), {}],
        bytes: [None, bytearray(b"x"), "x", memoryview(b"x")],
    }
    calls = []
    for name, kind in checked.items():
        for bad in wrong[kind]:
            a, k = list(args), dict(kwargs)
            if name in k:
                k[name] = bad
            else:
                a[names.index(name)] = bad
            calls.append(err(TypeError, fn, *a, **k))
    return calls


# --- values used throughout ------------------------------------------------------------------


class RaisingRepr:
    def __repr__(self) -> str:
        raise Boom("__repr__")


def _every_kind() -> list[Any]:
    return [
        None, True, False, 0, 1, -7, 10**30, -(10**30), 2.5, -0.0, math.inf, -math.inf, math.nan, "", " ", "0",
        " a, b ,,c ", "No", "FALSE", "yes", "y", "ß", "İ", "ǅ", "\u3000x\u3000", "２０２６-０３", "2026-03", "202604",
        "30d", "bsr_sales_monthly_202601", "us", "COM", "de", "4", "1" * 5000, "😀", "\ud800", StrSub(" x "),
        ShowsAs(StrSub("y")), [], ["a", " b ", 1, None, ["c"], {"d": 1}], [Hostile("str")], {}, {"a": 1, 2: [3]},
        (1, "2"), b"bytes", bytearray(b"x"), object(), Hostile("str"), Hostile("bool"), Hostile("eq"),
        Hostile("int"), Hostile("str", "bool", "eq", "int"),
    ]  # fmt: skip


KINDS = _every_kind()
PAYLOAD_ERRORS = (Boom, TypeError, ValueError, OverflowError, UnicodeError, RuntimeError)

# Every option name that a builder or helper of the payloads module reads.
OPTION_NAMES = sorted(set(
    """
    market site marketId month period monthName asins asin page startPage node nodeIdPaths nodeIdPath category size
    pageSize orderField orderDesc order.field order.desc lowPrice keywords keyword brand sellerName q pageNum
    historyDate orderBy desc filterRootWord rootWord filterRootWordEnabled matchType amazonChoice keywordBidMatchType
    includeHighFrequency groupNum limit skip badges conversionKeywordTypes trafficKeywordTypes order exactly
    filterDeletedKeywords keywordOrAsin pageNo selectType filterSub weightUnit sellerNationList sellerNation
    smallAndLight recommendationMode recommendMode presetMode productMode mode 推荐模式 badgeNR badgeBS badgeAC
    productTags sellerTypes eligibility maxSellers minSellers ratingMax ratingMin maxUnits minUnits keywords
    excludeKeywords includeBrands excludeBrands includeSellers excludeSellers video availableMonth putawayMonth
    newReleaseNum newReleaseMonths newProductMonths newRelease topn topN sampleNumber tab newReleaseNumSelect
    topNSelect departmentKeyword priceMin priceMax salesMin salesMax reviewsMin reviewsMax variation dimensionType
    fulfillment outOfKeywords pkgDimensionTypeList
    """.split()
    + list(p.PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES)
    + list(p.PRODUCT_RESEARCH_OFFICIAL_FIELD_ALIASES.values())
    + [name for preset in p.PRODUCT_RESEARCH_RECOMMENDATION_PRESETS.values() for name in preset]
    + list(p.MARKET_RESEARCH_HIDDEN_FIELDS)
))

REALISTIC = {
    "market": "us", "site": "de", "month": "2026-03", "asins": ["B07YRMT36L", " B0 "], "asin": "B07YRMT36L",
    "page": "2", "startPage": 3, "size": "x", "pageSize": 50.7, "node": "1:2, 3", "orderField": "total_sales",
    "orderDesc": "false", "lowPrice": "Y", "keywords": "lamp", "brand": "Acme", "sellerName": "s", "q": "q",
    "historyDate": "202604", "orderBy": 0, "rootWord": "yes", "includeHighFrequency": "no", "limit": 50, "skip": "y",
    "badges": "a,b", "keywordOrAsin": "B0", "mode": "研发新品榜", "minUnits": 3, "badgeBS": True, "badgeNR": "y",
    "productTags": "X", "sellerTypes": "", "priceMin": 2.5, "availableMonth": 3, "video": "Y", "includeBrands": "a",
    "excludeKeywords": "e", "minAvgSales": 0, "sellerNations": ["CN"], "newReleaseNum": "3m", "topN": 20,
    "order.desc": "False", "departmentKeyword": [" a ", "b"], "maxBsr": 10**30, "variation": 1, "filterSub": "yes",
    "weightUnit": "g", "dimensionType": "x", "minStar": "4.5", "maxNewAvgSales": None, "推荐模式": " 潜力市场 ",
}  # fmt: skip

BUILDERS = [
    "make_competitor_payload", "make_keyword_miner_payload", "make_keyword_reverse_payload",
    "make_traffic_source_payload", "make_product_research_payload", "make_market_research_payload",
    "normalize_product_research_input", "product_research_recommendation_preset", "new_release_num",
]  # fmt: skip
APPENDERS = ["_append_product_list_filters", "_append_product_range_filters", "_append_product_extra_filters"]
SCENARIOS = [
    "competitor-lookup", "product-research", "keyword-miner", "keyword-reverse", "traffic-source", "market-research",
    "Keyword-Miner", "", " market-research",
]  # fmt: skip


def _probes() -> list[Callable[[], Any]]:
    """Values that make an option reader raise or convert, one factory each."""
    return [
        lambda: Hostile("str"), lambda: Hostile("bool"), lambda: Hostile("eq"), lambda: Hostile("int"),
        lambda: math.inf, lambda: math.nan, lambda: "\ud800", lambda: [Hostile("str")], lambda: ["x", 1],
        lambda: {"k": Hostile("str")}, lambda: 10**30, lambda: "1" * 5000, lambda: ShowsAs(StrSub(" v ")),
    ]  # fmt: skip


def option_sweep(call: Callable[[dict[str, Any]], Any], names: Iterable[str] = OPTION_NAMES) -> list[Call]:
    """For each option name and probe value: the map holding only that value.
    Those that raise stay one call each (each is an error path of its own);
    the quiet ones are merged into one map per probe."""
    calls = []
    for probe in _probes():
        quiet = {}
        for name in names:
            options = {name: probe()}
            found = observed(PAYLOAD_ERRORS, call, options)
            if found.expect is RETURNS:
                quiet[name] = options[name]
            else:
                calls.append(found)
        calls.append(observed(PAYLOAD_ERRORS, call, quiet))
    return calls


def mutating_maps(call: Callable[[dict[str, Any]], Any], names: Iterable[str]) -> list[Call]:
    """Maps whose option rebuilds the map while it is read (a fresh map per call)."""

    def with_mutator(name: str, lookup: bool) -> None:
        options: dict[Any, Any] = {"market": "", "mode": "", "minUnits": 1, "page": "", "keyword": ""}
        if lookup:
            options[0] = 0  # a key that is not text
        options[name] = Mutator(options)
        call(options)

    return [observed(PAYLOAD_ERRORS, with_mutator, name, lookup) for name in names for lookup in (False, True)]


def colliding_maps(call: Callable[[dict[str, Any]], Any]) -> list[Call]:
    return [
        observed(PAYLOAD_ERRORS, call, {CollidingKey("market"): 1, CollidingKey("mode"): 2, CollidingKey("page"): 3}),
        observed(PAYLOAD_ERRORS, call, {CollidingKey("market", on_eq=lambda: None): 1, "page": "2"}),
        observed(PAYLOAD_ERRORS, call, {(1, 2): "not a text key", **REALISTIC}),
    ]


# --- the recipe table ------------------------------------------------------------------------


class Recipe:
    def __init__(self, name: str, covers: tuple[str, ...], build: Callable[[Any], list[Call]], min_rounds: int) -> None:
        self.name, self.covers, self.build, self.min_rounds = name, covers, build, min_rounds


RECIPES: dict[str, Recipe] = {}


def recipe(name: str, *covers: str, scenario: bool = False,
           min_rounds: int = MIN_ROUNDS) -> Callable[[Callable[[Any], list[Call]]], Callable[[Any], list[Call]]]:
    """Registers a recipe under `name`, covering the functions `covers` (its
    own name when none are given; none for a scenario that spans several)."""

    def register(build: Callable[[Any], list[Call]]) -> Callable[[Any], list[Call]]:
        assert name not in RECIPES, name
        RECIPES[name] = Recipe(name, () if scenario else covers or (name,), build, min_rounds)
        return build

    return register


# payloads: coercion and markets, every function on every kind of value.

UNARY = [
    "csv", "_query_text", "order_desc", "market_id", "market_research_market_id", "station_from_market_id",
    "traffic_source_market", "traffic_source_market_id", "month_name", "history_date",
]  # fmt: skip


def _unary(name: str) -> Callable[[Any], list[Call]]:
    def build(ctx: Any) -> list[Call]:
        fn = getattr(p, name)
        return [observed(PAYLOAD_ERRORS, fn, v) for v in KINDS] + [ok(fn, value="us")] + argument_errors(fn, ("us",))

    return build


for _name in UNARY:
    recipe(f"payloads.{_name}")(_unary(_name))


@recipe("payloads.truthy")
def _truthy(ctx: Any) -> list[Call]:
    calls = [observed(PAYLOAD_ERRORS, p.truthy, v) for v in KINDS]
    calls += [observed(PAYLOAD_ERRORS, p.truthy, None, default=d) for d in KINDS]
    calls += [err(Boom, p.truthy, None, default=Hostile("bool")), ok(p.truthy, "Yes", default=1)]
    return calls + argument_errors(p.truthy, ("yes",), {"default": False})


@recipe("payloads._market")
def _market(ctx: Any) -> list[Call]:
    calls = [observed(PAYLOAD_ERRORS, p._market, {key: v}) for v in KINDS for key in ("market", "site")]
    calls += [ok(p._market, {}, default="ß"), ok(p._market, {"site": "fr"})]
    calls += [err(Boom, p._market, {"market": Hostile("bool")})]
    calls += colliding_maps(p._market)
    calls += kind_errors(p._market, ({},), {"default": "DE"}, {"input_data": dict, "default": str})
    return calls + argument_errors(p._market, ({},), {"default": "JP"})


@recipe("payloads._int")
def _int(ctx: Any) -> list[Call]:
    calls = [observed(PAYLOAD_ERRORS, p._int, v, 0) for v in KINDS]
    calls += [observed(PAYLOAD_ERRORS, p._int, "x", d) for d in KINDS]  # defaults of every kind, bad ones included
    calls += [
        ok(p._int, " 42 ", 0), ok(p._int, "x", 2.5), ok(p._int, 2.0, True), err(TypeError, p._int, "x", None),
        err(TypeError, p._int, "x", "y"), err(OverflowError, p._int, "x", math.inf),
        err(ValueError, p._int, "x", math.nan), err(OverflowError, p._int, math.inf, 0),
        err(Boom, p._int, Hostile("int"), 0),
    ]  # fmt: skip
    return calls + argument_errors(p._int, ("1", 0))


@recipe("payloads.json_like_list")
def _json_like_list(ctx: Any) -> list[Call]:
    calls = [observed(PAYLOAD_ERRORS, p.json_like_list, [v, "a"]) for v in KINDS]
    calls += [ok(p.json_like_list, []), ok(p.json_like_list, ["A", 1, None, 'q"uote', "é"])]
    calls += [err(Boom, p.json_like_list, [Hostile("str")])]
    calls += kind_errors(p.json_like_list, ([],), {}, {"values": list})
    return calls + argument_errors(p.json_like_list, ([],))


class ItemsLie(OrderedDict):
    """A map whose items() gives something that is not a list of pairs."""

    def items(self) -> Any:  # type: ignore[override]
        return [("a", 1), "not a pair"]


@recipe("payloads._flatten_query")
def _flatten_query(ctx: Any) -> list[Call]:
    calls = [observed(PAYLOAD_ERRORS, p._flatten_query, {"k": v, "n": {"c": v}}) for v in KINDS]
    calls += [
        ok(p._flatten_query, {}),
        ok(p._flatten_query, p.make_competitor_payload(REALISTIC)),
        ok(p._flatten_query, {"o": OrderedDict([("b", 1), ("a", None)]), 3: "int key", StrSub("s"): True}),
        err(TypeError, p._flatten_query, {"o": ItemsLie(a=1)}),
        err(Boom, p._flatten_query, {"o": {"c": Hostile("str")}}),
        err(Boom, p._flatten_query, {Hostile("str"): 1}),
    ]  # fmt: skip

    def rebuilt(nested: bool) -> Any:
        payload: dict[str, Any] = {"a": "1"}
        inner: dict[str, Any] = {"c": "1"}
        if nested:
            payload["n"] = inner
            inner["m"] = Mutator(inner)
        else:
            payload["m"] = Mutator(payload)
        return p._flatten_query(payload)

    calls += [observed(PAYLOAD_ERRORS, rebuilt, False), observed(PAYLOAD_ERRORS, rebuilt, True)]
    calls += kind_errors(p._flatten_query, ({},), {}, {"payload": dict})
    return calls + argument_errors(p._flatten_query, ({},))


@recipe("payloads.build_referer")
def _build_referer(ctx: Any) -> list[Call]:
    payloads = [{}, {"q": None, "b": False, "n": {"c": [1]}, 3: 4}]
    payloads += [getattr(p, name)(REALISTIC) for name in BUILDERS[:6]]
    calls = [ok(p.build_referer, payload, scenario) for payload in payloads for scenario in SCENARIOS]
    for scenario in SCENARIOS[:6]:
        calls += option_sweep(lambda payload, s=scenario: p.build_referer(payload, s),
                              ["asin", "market", "month", "badges", "keywordOrAsin", "k"])
    calls += [
        err(TypeError, p.build_referer, {"badges": ["a", 1]}, "keyword-reverse"),
        err(UnicodeEncodeError, p.build_referer, {"k": "\ud800"}, "competitor-lookup"),
        err(UnicodeEncodeError, p.build_referer, {"asin": "\udfff"}, "keyword-reverse"),
        err(UnicodeEncodeError, p.build_referer, {"month": "\ud800"}, "traffic-source"),
        err(Boom, p.build_referer, {"k": Hostile("str")}, "market-research"),
        err(Boom, p.build_referer, {"asin": Hostile("bool")}, "keyword-reverse"),
    ]  # fmt: skip
    calls += kind_errors(p.build_referer, ({}, "x"), {}, {"payload": dict, "scenario": str})
    return calls + argument_errors(p.build_referer, ({}, "keyword-miner"))


# payloads: the builders and the product research helpers.


# The errors that some option value makes each function raise: the sweep must
# still reach them (an option list that no longer matches would not).
SWEEP_REACHES = {name: {Boom, OverflowError} for name in BUILDERS[:6] + ["new_release_num"]}
SWEEP_REACHES.update({name: {Boom} for name in BUILDERS[6:8] + APPENDERS[:2]})
SWEEP_REACHES[APPENDERS[2]] = set()  # it only places what it reads


def reached(name: str, calls: list[Call]) -> list[Call]:
    assert SWEEP_REACHES[name] <= {c.expect for c in calls}, name
    return calls


def _builder(name: str) -> Callable[[Any], list[Call]]:
    def build(ctx: Any) -> list[Call]:
        fn = getattr(p, name)
        calls = [ok(fn, {}), ok(fn, REALISTIC), ok(fn, input_data={"market": "jp"})]
        calls += reached(name, option_sweep(fn)) + mutating_maps(fn, ["market", "mode", "minUnits", "page", "keyword"])
        calls += colliding_maps(fn)
        calls += kind_errors(fn, ({},), {}, {"input_data": dict})
        return calls + argument_errors(fn, ({},))

    return build


for _name in BUILDERS:
    recipe(f"payloads.{_name}")(_builder(_name))


def _appender(name: str) -> Callable[[Any], list[Call]]:
    def build(ctx: Any) -> list[Call]:
        fn = getattr(p, name)
        # a fresh payload each call: the appenders add to it
        calls = [ok(lambda o: fn({"minPrice": "old"}, o), o) for o in ({}, REALISTIC)]
        calls += reached(name, option_sweep(lambda o: fn({"minPrice": "old"}, o)))
        calls += colliding_maps(lambda o: fn({}, o))
        calls += kind_errors(fn, ({}, {}), {}, {"payload": dict, "input_data": dict})
        return calls + argument_errors(fn, ({}, {}))

    return build


for _name in APPENDERS:
    recipe(f"payloads.{_name}")(_appender(_name))


@recipe("payloads presets of the tables", scenario=True)
def _presets(ctx: Any) -> list[Call]:
    # every preset the tables hand out, under its name and under every alias
    modes = [*p.PRODUCT_RESEARCH_RECOMMENDATION_PRESETS, *p.PRODUCT_RESEARCH_RECOMMENDATION_ALIASES]
    modes += ["Low Price Long Tail", " LOW_PRICE-long tail ", "低价 商品", "none of them", StrSub("potential")]

    def preset(mode: Any, key: str) -> None:
        got = p.product_research_recommendation_preset({key: mode})
        for value in got.values():  # the caller's own copy, lists included
            if isinstance(value, list):
                value.append("mine")
        got.clear()

    return [ok(preset, m, key) for m in modes for key in ("recommendationMode", "mode", "推荐模式")]


@recipe("payloads._preset_key")
def _preset_key(ctx: Any) -> list[Call]:
    texts = [" Rapid_Growth ", "Ä b", "", "\u3000x y\t", "😀_ß", "\ud800"]
    calls = [ok(p._preset_key, t) for t in texts]
    calls += kind_errors(p._preset_key, ("x",), {}, {"value": str})
    return calls + argument_errors(p._preset_key, ("x",))


# categories: module functions.

NODE_ITEMS = [
    {"id": 12, "nodeIdPath": " 1:2 ", "nodeLabel": " Kitchen ", "nodeLabelPath": "Home:Kitchen", "children": [1]},
    {"id": 0, "nodeId": "77", "nodeLabelLocale": "Küche", "nodeLabelPathLocale": "Heim：Küche", "leaf": False},
    {"id": 5, "alias": "K", "hasChildren": True},
    {"label": "   ", "nodeLabel": "Straße", "hasChildren": 1, "leaf": 0},
    {},
    "junk", 7, None,
]  # fmt: skip
BODIES = [
    {"items": NODE_ITEMS}, {"items": None, "data": {"items": NODE_ITEMS}}, {"items": {"a": 1}, "data": {"items": [1]}},
    {"data": []}, {"data": {}}, {}, {"items": []},
]  # fmt: skip
CAT_ERRORS = (Boom, TypeError, ValueError, UnicodeError, SellerSpriteConfigError)


def node(i: int = 1, label: Any = "A", label_path: Any = "Root:A", has_children: Any = False) -> Any:
    return cat.CategoryNode(str(i), f"9:{i}", label, label_path, has_children)


@recipe("categories._category_key")
def _category_key(ctx: Any) -> list[Call]:
    calls = [observed(CAT_ERRORS, cat._category_key, {key: v}) for v in KINDS for key in cat.CATEGORY_KEYS]
    calls += [
        ok(cat._category_key, {"category": "x", "nodeIdPath": "1"}),
        ok(cat._category_key, {"nodeIdPaths": "", "node": "n"}),
        ok(cat._category_key, {}), err(Boom, cat._category_key, {CollidingKey("node"): 1}),
    ]  # fmt: skip
    calls += kind_errors(cat._category_key, ({},), {}, {"params": dict})
    return calls + argument_errors(cat._category_key, ({},))


@recipe("categories._parse_nodes")
def _parse_nodes(ctx: Any) -> list[Call]:
    calls = [ok(cat._parse_nodes, body, parent_path=pp) for body in BODIES for pp in ("", "1:2")]
    calls += [
        observed(CAT_ERRORS, cat._parse_nodes, {"items": [{"id": v, "nodeLabel": v}]}, parent_path="3") for v in KINDS
    ]
    calls += [observed(CAT_ERRORS, cat._parse_nodes, {"items": None, "data": v}, parent_path="") for v in KINDS]
    calls += kind_errors(cat._parse_nodes, ({},), {"parent_path": ""}, {"payload": dict, "parent_path": str})
    return calls + argument_errors(cat._parse_nodes, ({},), {"parent_path": ""})


@recipe("categories._parse_node")
def _parse_node(ctx: Any) -> list[Call]:
    items = [i for i in NODE_ITEMS if isinstance(i, dict)]
    calls = [ok(cat._parse_node, item, parent_path=pp) for item in items for pp in ("", "1:2")]
    keys = ("id", "nodeId", "nodeIdPath", "nodeIdPaths", "label", "nodeLabelPath", "children", "hasChildren", "leaf")
    for key in keys:
        calls += [observed(CAT_ERRORS, cat._parse_node, {key: v}, parent_path="3") for v in KINDS]
    calls += kind_errors(cat._parse_node, ({},), {"parent_path": ""}, {"item": dict, "parent_path": str})
    return calls + argument_errors(cat._parse_node, ({},), {"parent_path": ""})


@recipe("categories._label")
def _label(ctx: Any) -> list[Call]:
    calls = [ok(cat._label, item) for item in NODE_ITEMS if isinstance(item, dict)]
    for key in ("label", "nodeLabelLocale", "nodeLabel", "alias"):
        calls += [observed(CAT_ERRORS, cat._label, {"alias": "fallback", key: v}) for v in KINDS]
    calls += kind_errors(cat._label, ({},), {}, {"item": dict})
    return calls + argument_errors(cat._label, ({},))


TEXTS = [
    "", " \t\u3000", "\u3000Home ： Kitchen \u3000", "Stra\u00dfe  Caf\u00e9\t\n x", "ＡＢＣ：１２", "A : B : C", "😀:ǅ",
    "\ud800", "x" * 300,
]  # fmt: skip


@recipe("categories._normalize_category_text")
def _normalize(ctx: Any) -> list[Call]:
    calls = [ok(cat._normalize_category_text, t) for t in TEXTS]
    calls += kind_errors(cat._normalize_category_text, ("x",), {}, {"value": str})
    return calls + argument_errors(cat._normalize_category_text, ("x",))


@recipe("categories._exact_matches")
def _exact_matches(ctx: Any) -> list[Call]:
    kept = [node(i, f"L{i}", f"Root : L{i}") for i in range(5)]

    def fresh(text: str) -> Any:  # canonical forms made anew each call
        return cat._exact_matches(text, [node(i, f" l{i} ", f"Root：L{i}") for i in range(5)] + [node(9, "", "")])

    calls = [ok(fresh, t) for t in [*TEXTS, "root:l3", "L2"]] + [ok(cat._exact_matches, t, kept) for t in TEXTS]
    calls += [
        err(TypeError, cat._exact_matches, "x", [kept[0], 1]),
        err(TypeError, cat._exact_matches, "x", [node(1, 5, "p")]),
        err(TypeError, cat._exact_matches, "x", [node(1, "a", None)]),
        ok(cat._exact_matches, "", [1, "not even nodes"]),
    ]  # fmt: skip
    calls += kind_errors(cat._exact_matches, ("x", []), {}, {"value": str, "matches": list})
    return calls + argument_errors(cat._exact_matches, ("x", []))


@recipe("categories._raise_match_error")
def _raise_match_error(ctx: Any) -> list[Call]:
    many = [node(i, f"L{i}", f"Root:L'{i}") for i in range(25)]
    calls = [
        err(SellerSpriteConfigError, cat._raise_match_error, v, nodes, scope="全部类目")
        for v in ("x", "", "\u3000类目：")
        for nodes in ([], many[:1], many)
    ]  # fmt: skip
    calls += [
        err(Boom, cat._raise_match_error, "x", [node(1, "a", RaisingRepr())], scope="s"),
        err(TypeError, cat._raise_match_error, "x", [many[0], "no node"], scope="s"),
    ]
    checked = {"value": str, "matches": list, "scope": str}
    calls += kind_errors(cat._raise_match_error, ("x", []), {"scope": "s"}, checked)
    return calls + argument_errors(cat._raise_match_error, ("x", []), {"scope": "s"})


# categories: CategoryNode.

FIELDS = ("1", "1:2", "Kitchen", "Home:Kitchen", True)


def _node_cycle() -> None:
    box: list[Any] = []
    box.append(cat.CategoryNode("1", "1", "A", box, False))  # reachable only through itself


@recipe("categories.CategoryNode.__new__")
def _node_new(ctx: Any) -> list[Call]:
    N = cat.CategoryNode
    calls = [
        ok(N, *FIELDS), ok(N, *FIELDS[:2], label="é", label_path="😀", has_children=0),
        ok(N, 1, None, [1], {"a": 2}, Hostile("bool")), ok(_node_cycle),
    ]  # fmt: skip
    return calls + argument_errors(N, FIELDS)


@recipe("categories.CategoryNode compare and hash", *(f"categories.CategoryNode.{m}" for m in
        ("__hash__", "__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__")))  # fmt: skip
def _node_compare(ctx: Any) -> list[Call]:
    N = cat.CategoryNode
    a, b, c = N(*FIELDS), N(*FIELDS), N("2", *FIELDS[1:])
    hostile = N(Hostile("eq"), *FIELDS[1:])
    return [
        ok(hash, a), ok(hash, N("x", "y", "z", "w", None)), err(TypeError, hash, N("1", [], "a", "b", False)),
        ok(lambda: a == b and a != c and a != FIELDS and {a: 1}[b]),
        err(Boom, lambda: hostile == N(Hostile("eq"), *FIELDS[1:])),
        err(Boom, lambda: hostile != N(Hostile("eq"), *FIELDS[1:])),
        err(TypeError, lambda: a < b), err(TypeError, lambda: a <= b), err(TypeError, lambda: a > 1),
        err(TypeError, lambda: a >= b),
    ]  # fmt: skip


@recipe("categories.CategoryNode.__repr__")
def _node_repr(ctx: Any) -> list[Call]:
    N = cat.CategoryNode
    box: list[Any] = []
    box.append(N("1", "1", "A", box, False))  # shown as "..." inside itself
    return [
        ok(repr, N(*FIELDS)), ok(repr, N("'", '"', "\ud800", "😀", None)), ok(repr, box[0]),
        err(Boom, repr, N("1", "1", RaisingRepr(), "p", False)),
    ]  # fmt: skip


@recipe("categories.CategoryNode attributes", "categories.CategoryNode.__setattr__",
        "categories.CategoryNode.__delattr__")  # fmt: skip
def _node_attributes(ctx: Any) -> list[Call]:
    n = cat.CategoryNode(*FIELDS)
    return [
        ok(lambda: (n.id, n.node_id_path, n.label, n.label_path, n.has_children)),
        err(AttributeError, setattr, n, "label", "x"), err(AttributeError, setattr, n, "other", 1),
        err(AttributeError, delattr, n, "id"), err(TypeError, n.__setattr__, 1, 2),
        err(AttributeError, getattr, n, "missing"),
    ]  # fmt: skip


@recipe("categories.CategoryNode.__reduce__")
def _node_reduce(ctx: Any) -> list[Call]:
    n = cat.CategoryNode(*FIELDS)

    def round_trip(proto: int) -> None:
        assert pickle.loads(pickle.dumps(n, proto)) == n

    return [ok(round_trip, proto) for proto in range(pickle.HIGHEST_PROTOCOL + 1)] + [
        ok(copy.copy, n), ok(copy.deepcopy, n), ok(n.__reduce__), ok(n.__reduce_ex__, 2),
        err(TypeError, n.__reduce__, 1),
    ]  # fmt: skip


if sys.version_info >= (3, 13):
    @recipe("categories.CategoryNode.__replace__")
    def _node_replace(ctx: Any) -> list[Call]:
        import dataclasses

        n = cat.CategoryNode(*FIELDS)
        return [
            ok(copy.replace, n, label="other"), ok(dataclasses.replace, n, id="9"), ok(dataclasses.asdict, n),
            ok(n.__replace__), err(TypeError, n.__replace__, 1), err(TypeError, copy.replace, n, colour="red"),
            err(TypeError, n.__replace__, label=Hostile(), extra=1),
        ]  # fmt: skip


# categories: the resolver and its coroutines.

TICK = "tick"  # what a suspending client's awaitable yields
KW = {"scenario": "product-research", "site": "US", "period": "2026-03"}
TABLE = "bsr_sales_monthly_202603"


def record(node_id: str, path: str, label: str, label_path: str) -> dict[str, Any]:
    return {"id": node_id, "nodeIdPath": path, "nodeLabel": label, "nodeLabelPath": label_path}


KITCHEN = record("2", "1:2", "Kitchen & Dining", "Home & Kitchen:Kitchen & Dining")
APPLIANCE = record("3", "9:3", "Kitchen & Dining", "Appliances:Kitchen & Dining")
ANSWERS: dict[Any, Any] = {
    "Toys": {"items": [record("7", "7", "Toys & Games", "Toys & Games")]},  # one node, not the text: accepted
    "Home & Kitchen:Kitchen & Dining": {"items": [KITCHEN]},
    "Kitchen & Dining": {"data": {"items": [APPLIANCE, KITCHEN]}},  # several, both match
    "Appliances:Kitchen & Dining": {"items": [KITCHEN, APPLIANCE]},  # several, one matches
    "Nothing": {"items": []},
    "Down": Boom,
    "NotAMap": [],
    "1:2": {"items": [{"id": 5, "nodeLabel": "Child"}]},
    "1::2": {"items": []},
    "toys": {"items": [record("7", "7", "Toys & Games", "Toys & Games")]},
}


def answer(node_label_path: Any, node_id_path: Any) -> Any:
    body = ANSWERS[node_label_path or node_id_path]
    if isinstance(body, type):
        raise body("the client failed")  # a new exception each time, without an old traceback
    # a new answer each time, as a real client decodes one: a reference the
    # resolver kept would keep it alive, and show as blocks
    return copy.deepcopy(body)


class Client:
    """Answers at once."""

    async def category_nodes(self, *, market_id: Any, table: Any, node_id_path: Any, node_label_path: Any) -> Any:
        return answer(node_label_path, node_id_path)


class Later:
    """An awaitable that suspends once (yielding TICK) before it answers; it
    can catch what is thrown in, and can fail on close."""

    def __init__(self, label: Any, id_path: Any, *, catch: bool = False, close_fails: bool = False) -> None:
        self.label, self.id_path, self.catch, self.close_fails = label, id_path, catch, close_fails

    def __await__(self) -> Any:
        try:
            yield TICK
        except Boom:
            if not self.catch:
                raise
        except GeneratorExit:
            if self.close_fails:
                raise Boom("close") from None
            raise
        return answer(self.label, self.id_path)


class BareIterator:
    """The iterator of an awaitable that has neither throw() nor close()."""

    def __init__(self, label: Any) -> None:
        self.label, self.step = label, 0

    def __iter__(self) -> BareIterator:
        return self

    def __next__(self) -> Any:
        self.step += 1
        if self.step == 1:
            return TICK
        raise StopIteration(answer(self.label, None))


class BareAwaitable:
    def __init__(self, label: Any) -> None:
        self.label = label

    def __await__(self) -> BareIterator:
        return BareIterator(self.label)


class SlowClient:
    """Answers after one suspension, through an awaitable of a chosen kind."""

    def __init__(self, kind: str = "later", **options: Any) -> None:
        self.kind, self.options = kind, options
        self.keep: Any = None  # lets a test close a reference cycle through the client

    def category_nodes(self, *, market_id: Any, table: Any, node_id_path: Any, node_label_path: Any) -> Any:
        if self.kind == "bare":
            return BareAwaitable(node_label_path)
        return Later(node_label_path, node_id_path, **self.options)


class Reentrant:
    """A client that drives, from inside its own call, the coroutine calling it."""

    keep: Any = None

    def category_nodes(self, **kwargs: Any) -> Any:
        try:
            return self.keep.send(None)
        finally:
            self.keep = None  # no cycle is left behind


def drive(coro: Any) -> Any:
    """Runs a coroutine object to its end by hand and gives its result."""
    try:
        while True:
            assert coro.send(None) == TICK
    except StopIteration as stop:
        return stop.value


def resolved(client: Any, params: dict[str, Any], **keywords: Any) -> Any:
    """resolve_params on a fresh resolver: every label is a cache miss."""
    return drive(cat.SellerSpriteCategoryResolver(client).resolve_params(params, **{**KW, **keywords}))


R = cat.SellerSpriteCategoryResolver


@recipe("categories.SellerSpriteCategoryResolver.__new__")
def _resolver_new(ctx: Any) -> list[Call]:
    def cycle() -> None:
        client = SlowClient()
        client.keep = R(client)  # client -> resolver -> client

    return [ok(R, Client()), ok(R, client=None), ok(lambda: R(1)._cache), ok(cycle)] + argument_errors(R, (None,))


@recipe("categories.SellerSpriteCategoryResolver.resolve_params")
def _resolve_params(ctx: Any) -> list[Call]:
    fast, slow = Client(), SlowClient()
    warm = R(fast)
    hit = {"category": "Toys, Home & Kitchen:Kitchen & Dining, Appliances:Kitchen & Dining, 1:2", "market": "us"}
    assert drive(warm.resolve_params(hit, **KW))["category"] == ["7", "1:2", "9:3", "1:2"]
    empty = {"node": " , ", "x": 1}

    def same_map(params: dict[str, Any]) -> None:
        assert drive(R(fast).resolve_params(params, **KW)) is params

    calls = [
        ok(lambda: drive(warm.resolve_params(hit, **KW))),  # cache hits only
        ok(resolved, fast, hit), ok(resolved, slow, hit), ok(resolved, SlowClient("bare"), {"node": "Toys"}),
        ok(resolved, fast, {"nodeIdPaths": ["Toys", " 1:2 ", "Toys", "toys"], "site": "jp", "month": "30d"}),
        ok(resolved, fast, {"node": "Toys,1:2"}, scenario="market-research"),
        ok(same_map, {"x": 1}), ok(same_map, empty),
        err(SellerSpriteConfigError, resolved, fast, {"node": "Kitchen & Dining"}),
        err(SellerSpriteConfigError, resolved, slow, {"node": "Toys, Nothing"}),
        err(Boom, resolved, fast, {"node": "Toys, Down"}), err(Boom, resolved, slow, {"node": "Down"}),
        err(TypeError, resolved, fast, {"node": "NotAMap"}),
        err(Boom, resolved, fast, {"node": Hostile("bool")}), err(Boom, resolved, fast, {"node": [Hostile("str")]}),
        err(Boom, resolved, fast, {"node": "Toys", "month": Hostile("str")}),
        err(Boom, resolved, fast, {"node": "Toys", "market": Hostile("bool")}),
        err(Boom, resolved, fast, {"node": "Toys", "market": Hostile("str")}),
        err(Boom, resolved, fast, {CollidingKey("node"): 1}),
        err(AttributeError, resolved, object(), {"node": "Toys"}),
    ]  # fmt: skip
    checked = {"params": dict, "scenario": str, "site": str, "period": str}
    calls += kind_errors(warm.resolve_params, ({},), dict(KW), checked)
    return calls + argument_errors(warm.resolve_params, ({},), dict(KW))


def _text_method(name: str) -> Callable[[Any], list[Call]]:
    def build(ctx: Any) -> list[Call]:
        fast, slow = Client(), SlowClient()
        warm = R(fast)
        for label in ("Toys", "Appliances:Kitchen & Dining"):
            drive(getattr(warm, name)(label, market=1, table=TABLE))

        def run(client: Any, value: Any, market: Any = 1) -> Any:
            return drive(getattr(R(client), name)(value, market=market, table=TABLE))

        calls = [
            ok(lambda: drive(getattr(warm, name)("Toys", market=1, table=TABLE))),
            ok(lambda: drive(getattr(warm, name)("Appliances:Kitchen & Dining", market=1, table=TABLE))),
            ok(run, fast, "Toys"), ok(run, slow, "Appliances:Kitchen & Dining", "us"), ok(run, fast, "1:2", None),
            err(SellerSpriteConfigError, run, fast, "Kitchen & Dining"),
            err(SellerSpriteConfigError, run, slow, "Nothing"),
            err(Boom, run, fast, "Down"), err(TypeError, run, slow, "NotAMap"),
            err(Boom, run, fast, "Toys", Hostile("str")), err(TypeError, run, fast, "Toys", ShowsAs(1)),
        ]  # fmt: skip
        if name == "resolve":  # text that needs no request
            calls += [ok(run, object(), v, Hostile("str")) for v in ("", " \u3000", " 1:2 ", "٣:٤")]
            calls += [err(SellerSpriteConfigError, run, fast, "1::2")]  # not a node-id path: looked up
        calls += kind_errors(getattr(warm, name), ("x",), {"market": 1, "table": TABLE}, {"value": str, "table": str})
        return calls + argument_errors(getattr(warm, name), ("x",), {"market": 1, "table": TABLE})

    return build


recipe("categories.SellerSpriteCategoryResolver.resolve")(_text_method("resolve"))
recipe("categories.SellerSpriteCategoryResolver._resolve_label")(_text_method("_resolve_label"))


@recipe("categories.SellerSpriteCategoryResolver._nodes")
def _nodes(ctx: Any) -> list[Call]:
    fast, slow = Client(), SlowClient()
    warm = R(fast)
    cached = drive(warm._nodes(market=1, table=TABLE, node_label_path="Toys"))

    def run(client: Any, **keywords: Any) -> Any:
        return drive(R(client)._nodes(**{"market": "us", "table": TABLE, **keywords}))

    def hit() -> None:
        assert drive(warm._nodes(market=1, table=TABLE, node_label_path="Toys")) is cached

    calls = [
        ok(hit),
        ok(run, fast, node_label_path="Kitchen & Dining"), ok(run, slow, node_id_path="1:2"),
        ok(run, fast, node_id_path="1:2", node_label_path="Nothing"),
        err(Boom, run, fast, node_label_path="Down"), err(TypeError, run, slow, node_label_path="NotAMap"),
        err(KeyError, run, fast), err(Boom, run, fast, market=Hostile("str"), node_label_path="Toys"),
    ]  # fmt: skip
    keywords = {"market": 1, "table": TABLE, "node_id_path": "", "node_label_path": ""}
    calls += kind_errors(warm._nodes, (), keywords, {"table": str, "node_id_path": str, "node_label_path": str})
    return calls + argument_errors(warm._nodes, (), {"market": 1, "table": TABLE})


def _coroutine_type() -> type:
    coro = R(Client()).resolve("", market=1, table="t")
    coro.close()
    return type(coro)


COROUTINE = _coroutine_type()
COROUTINE_METHODS = ("send", "throw", "close", "__await__", "__next__", "__repr__", "__del__")


@recipe("categories.zentrik_coroutine", *(f"categories.zentrik_coroutine.{m}" for m in COROUTINE_METHODS))
def _coroutine(ctx: Any) -> list[Call]:
    def suspended(client: Any = None, method: str = "resolve_params") -> Any:
        resolver = R(client or SlowClient())
        if method == "resolve_params":
            coro = resolver.resolve_params({"node": "Toys"}, **KW)
        else:
            coro = getattr(resolver, method)("Toys", market=1, table=TABLE)
        assert coro.send(None) == TICK
        return coro

    def fresh() -> Any:
        return R(Client()).resolve_params({"node": "Toys"}, **KW)

    def fresh_then(action: Callable[[Any], Any]) -> Any:
        coro = fresh()
        try:
            return action(coro)
        finally:
            coro.close()  # left unstarted, it would warn when it goes away

    def closed_before_start() -> None:
        coro = fresh()
        coro.close()
        coro.close()
        with pytest.raises(RuntimeError):
            coro.send(None)

    def closed_while_suspended(kind: str) -> None:
        coro = suspended(SlowClient(kind))
        assert coro.cr_await is not None and not coro.cr_running
        assert coro.close() is None and coro.cr_await is None

    def thrown(exc: Any, *rest: Any, kind: str = "later", method: str = "resolve_params", **options: Any) -> Any:
        # an exception instance is made anew for every throw: one raised again
        # would carry its old traceback along and grow it
        made = [a() if isinstance(a, types.FunctionType) else a for a in (exc, *rest)]
        return suspended(SlowClient(kind, **options), method).throw(*made)

    def fresh_boom() -> Boom:
        return Boom("thrown in")

    def caught_and_finished() -> None:
        with pytest.raises(StopIteration):
            thrown(fresh_boom, catch=True)

    def driven_by_next() -> None:
        coro = suspended()
        with pytest.raises(StopIteration):
            next(coro)

    def awaited_from_python(client: Any) -> Any:
        async def outer() -> Any:
            return await R(client).resolve_params({"node": "Toys, 1:2"}, **KW)

        return drive(outer())

    def dropped(started: bool) -> None:
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            coro = suspended() if started else fresh()
            del coro  # the finalizer closes what it awaits, or warns of a coroutine never awaited
        assert len(seen) == (0 if started else 1)

    def dropped_in_a_cycle() -> None:
        client = SlowClient()
        client.keep = suspended(client)  # coroutine -> resolver -> client -> coroutine

    def reused() -> None:
        coro = R(Client()).resolve("Toys", market=1, table=TABLE)
        drive(coro)
        coro.send(None)

    def reentered() -> None:
        client = Reentrant()
        client.keep = R(client).resolve("Toys", market=1, table=TABLE)
        drive(client.keep)

    def inspected() -> None:
        assert fresh_then(lambda coro: coro.__await__() is coro)
        coro = suspended(method="resolve")
        with pytest.raises(RuntimeError):
            coro.__await__()  # already being awaited
        assert repr(coro).startswith("<zentrik_coroutine")
        assert (coro.__name__, coro.__qualname__) == ("resolve", "SellerSpriteCategoryResolver.resolve")
        assert coro.cr_frame is None
        coro.close()

    return [
        ok(closed_before_start), ok(closed_while_suspended, "later"), ok(closed_while_suspended, "bare"),
        err(Boom, lambda: suspended(SlowClient(close_fails=True)).close()),
        err(Boom, thrown, fresh_boom), err(Boom, thrown, Boom), err(Boom, thrown, Boom, fresh_boom, None),
        err(Boom, thrown, fresh_boom, kind="bare"), err(GeneratorExit, thrown, GeneratorExit),
        err(Boom, thrown, GeneratorExit, close_fails=True),
        err(Boom, thrown, fresh_boom, method="_resolve_label"), err(Boom, thrown, fresh_boom, method="resolve"),
        ok(caught_and_finished), ok(driven_by_next), ok(awaited_from_python, Client()),
        ok(awaited_from_python, SlowClient()), ok(dropped, False), ok(dropped, True), ok(dropped_in_a_cycle),
        ok(inspected),
        err(ValueError, lambda: fresh().throw(ValueError("before start"))),
        err(TypeError, fresh_then, lambda c: c.throw(1)),
        err(TypeError, fresh_then, lambda c: c.throw(Boom("x"), Boom("y"))),
        err(TypeError, fresh_then, lambda c: c.throw(Boom, None, 1)), err(TypeError, fresh_then, lambda c: c.throw()),
        err(TypeError, fresh_then, lambda c: c.send(1)),
        err(RuntimeError, reused), err(ValueError, reentered),
    ]  # fmt: skip


# Event loops are costly: few rounds, each with many operations.
@recipe("categories under asyncio.run", scenario=True, min_rounds=30)
def _asyncio(ctx: Any) -> list[Call]:
    class AsyncClient:
        async def category_nodes(self, **kwargs: Any) -> Any:
            await asyncio.sleep(0)
            return answer(kwargs["node_label_path"], kwargs["node_id_path"])

    class StuckClient:
        async def category_nodes(self, **kwargs: Any) -> Any:
            await asyncio.sleep(3600)

    async def main() -> None:
        resolver = R(AsyncClient())
        labels = ["Toys", "Home & Kitchen:Kitchen & Dining", "Nothing", "Down", "1:2"] * 6
        await asyncio.gather(*(resolver.resolve(v, market=1, table=TABLE) for v in labels), return_exceptions=True)
        await asyncio.gather(*(R(AsyncClient()).resolve_params({"node": v}, **KW) for v in labels),
                             return_exceptions=True)
        for timeout in (0, 0.001):  # cancelled before its first step, and while it awaits the client
            try:
                await asyncio.wait_for(R(StuckClient()).resolve_params({"node": "Toys"}, **KW), timeout)
            except asyncio.TimeoutError:
                pass

    return [ok(lambda: asyncio.run(main()))]


# crypto.


def _crypto_context(tmp: Any) -> dict[str, Any]:
    try:
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    except ImportError:  # a build without cryptography: no value of invalid UTF-8 to decrypt
        AESGCM = None

    key_file = tmp / "crypto.key"
    crypto = cr.Crypto(key_file)
    short = tmp / "short.key"
    short.write_bytes(b"k" * 5)
    (tmp / "a-directory").mkdir(exist_ok=True)
    nonce = b"n" * 12
    return {
        "crypto": crypto,
        "short": cr.Crypto(short),
        "value": crypto.encrypt("secret"),
        "not_utf8": AESGCM and nonce + AESGCM(crypto._key).encrypt(nonce, b"\xff\xfe", None),
        "tmp": tmp,
    }


class BadPath:
    def __fspath__(self) -> str:
        raise Boom("__fspath__")


@recipe("crypto.Crypto", "crypto.Crypto.__init__")
def _crypto_new(ctx: Any) -> list[Call]:
    c = ctx["crypto"]
    tmp = ctx["tmp"]

    def new_key_file() -> None:
        path = tmp / "new.key"
        try:
            cr.Crypto(str(path))
        finally:
            path.unlink()

    return [
        ok(cr.Crypto, c._key_path), ok(cr.Crypto, str(c._key_path)), ok(cr.Crypto, key_path=c._key_path),
        ok(new_key_file), err(FileNotFoundError, cr.Crypto, tmp / "absent" / "k"),
        err(IsADirectoryError, cr.Crypto, tmp / "a-directory"), err(TypeError, cr.Crypto, None),
        err(TypeError, cr.Crypto, b"bytes-path"), err(Boom, cr.Crypto, BadPath()),
        ok(cr.Crypto, ctx["short"]._key_path),
        ok(cr.Crypto.__init__, cr.Crypto(c._key_path), c._key_path),  # made again in place
        err(FileNotFoundError, cr.Crypto.__init__, c, tmp / "absent" / "k"),  # the object keeps its key
        err(TypeError, cr.Crypto.__init__, 1, c._key_path), err(TypeError, cr.Crypto.__init__),
        err(ValueError, cr.Crypto.__new__(cr.Crypto).encrypt, "x"),
    ] + argument_errors(cr.Crypto, (c._key_path,))  # fmt: skip


@recipe("crypto.Crypto._load_or_create_key")
def _crypto_load(ctx: Any) -> list[Call]:
    c = ctx["crypto"]
    return [ok(c._load_or_create_key), ok(ctx["short"]._load_or_create_key), err(TypeError, c._load_or_create_key, 1)]


@recipe("crypto.Crypto.encrypt")
def _crypto_encrypt(ctx: Any) -> list[Call]:
    c = ctx["crypto"]

    def round_trip(text: str) -> None:
        assert c.decrypt(c.encrypt(text)) == text

    calls = [ok(round_trip, t) for t in ("", "secret", "ключ 密钥 😀", "x" * 5000, "x" * 70_000, "ключ" * 20_000)]
    calls += [err(UnicodeEncodeError, c.encrypt, "\ud800"), err(UnicodeEncodeError, c.encrypt, "ok\udfffok")]
    calls += [err(ValueError, ctx["short"].encrypt, "x")]
    calls += kind_errors(c.encrypt, ("x",), {}, {"plaintext": str})
    return calls + argument_errors(c.encrypt, ("x",))


@recipe("crypto.Crypto.decrypt")
def _crypto_decrypt(ctx: Any) -> list[Call]:
    InvalidTag = cr.InvalidTag
    c, value = ctx["crypto"], ctx["value"]
    tampered = [value[:i] + bytes([value[i] ^ 1]) + value[i + 1:] for i in (0, 12, len(value) - 1)]
    calls = [ok(c.decrypt, value), ok(c.decrypt, c.encrypt("ключ"))]
    calls += [err(InvalidTag, c.decrypt, t) for t in [*tampered, b"", b"short", value[:27], value + b"x"]]
    large = c.encrypt("x" * 70_000)
    calls += [ok(c.decrypt, large), err(InvalidTag, c.decrypt, large[:-1] + bytes([large[-1] ^ 1]))]
    if ctx["not_utf8"]:
        calls += [err(UnicodeDecodeError, c.decrypt, ctx["not_utf8"])]
    calls += [err(ValueError, ctx["short"].decrypt, value)]
    calls += kind_errors(c.decrypt, (b"x",), {}, {"ciphertext": bytes})
    return calls + argument_errors(c.decrypt, (value,))


# --- enumeration -----------------------------------------------------------------------------


def enumerate_callables() -> set[str]:
    """Every function and method that the three modules define: module-level
    functions (not those bound from elsewhere), and the constructor, methods
    and slot wrappers of their classes and of the coroutine type."""
    found = set()
    for short, module in MODULES.items():
        classes = []
        for name, value in vars(module).items():
            if native_function(value) and value.__module__ == module.__name__:
                found.add(f"{short}.{name}")
            elif isinstance(value, type) and value.__module__ == module.__name__ and not issubclass(value, Exception):
                classes.append(value)
        if module is cat:
            classes.append(COROUTINE)
        for cls in classes:
            if "__new__" in vars(cls) and cls is not COROUTINE:
                found.add(f"{short}.{cls.__name__}.__new__")
            for name, value in vars(cls).items():
                if isinstance(value, (types.MethodDescriptorType, types.WrapperDescriptorType)) or native_function(value):
                    found.add(f"{short}.{cls.__name__}.{name}")
    return found


def native_function(value: Any) -> bool:
    """An object of the modules' own function type (module functions and annotated methods)."""
    return type(value).__qualname__ == "zentrik_function"


def test_every_function_has_a_recipe():
    covered = [name for r in RECIPES.values() for name in r.covers]
    assert len(covered) == len(set(covered)), "a function is covered twice"
    found = enumerate_callables()
    assert not found - set(covered), f"functions without a leak recipe: {sorted(found - set(covered))}"
    assert not set(covered) - found, f"recipes for functions that do not exist: {sorted(set(covered) - found)}"
    # the modules still show what this gate expects to find
    assert {"payloads.make_competitor_payload", "categories._parse_nodes", "crypto.Crypto.encrypt",
            "categories.SellerSpriteCategoryResolver._nodes", "categories.zentrik_coroutine.throw"} <= found


# --- the gate --------------------------------------------------------------------------------


def settle() -> None:
    """Frees what only the collector or the interpreter's type cache holds.
    That cache keeps a reference to each attribute name it is asked about,
    in slots chosen by the name's address, so every name made afresh for a
    lookup (as PyObject_GetAttrString does) stays alive until its slot is
    taken: thousands of small blocks that settle only after tens of
    thousands of calls."""
    CLEAR_TYPE_CACHE()
    gc.collect()


# 3.13 replaced sys._clear_type_cache (deprecated there) with a broader one.
CLEAR_TYPE_CACHE = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def window(body: Callable[[], None], rounds: int, meters: list[Meter]) -> list[int]:
    """How much each meter grew over `rounds` calls of body."""
    settle()
    before = [m.read() for m in meters]
    for _ in range(rounds):
        body()
    settle()
    return [m.read() - b for m, b in zip(meters, before)]


_BASELINES: dict[tuple[str, ...], list[int]] = {}


def baseline(meters: list[Meter]) -> list[int]:
    """What a window of nothing grows the meters by: the same for every
    window, as the measuring runs the same code each time."""
    key = tuple(m.name for m in meters)
    if key not in _BASELINES:
        # Never below nothing: on a free-threaded build a window may free what
        # was let go before it (memory freed once every thread has moved on).
        _BASELINES[key] = [max(0, min(pair)) for pair in zip(*(window(lambda: None, 1, meters) for _ in range(3)))]
    return _BASELINES[key]


def gate(body: Callable[[], None], *, seconds_per_round: float, meters: list[Meter] | None = None,
         min_rounds: int = MIN_ROUNDS) -> None:
    """Runs body for a warm-up and then windows of rounds; fails when a meter
    grew beyond its slack in each of WINDOWS windows. What a window of nothing
    grows by (the measuring's own objects) is taken off first."""
    meters = METERS if meters is None else meters
    rounds = int(min(MAX_ROUNDS, max(min_rounds, BUDGET / max(seconds_per_round, 1e-7))))
    for _ in range(max(50, rounds // 2)):
        body()
    base = baseline(meters)
    grown: dict[str, int] = {}
    for _window in range(WINDOWS):
        deltas = window(body, rounds, meters)
        grown = {m.name: d - b for m, d, b in zip(meters, deltas, base) if d - b > m.slack}
        if not grown:
            return
    raise AssertionError(f"grew by {grown} in each of {WINDOWS} windows of {rounds} rounds")


@pytest.fixture(scope="module")
def context(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Any]:
    return _crypto_context(tmp_path_factory.mktemp("leak-gate"))


def prepared(name: str, context: dict[str, Any]) -> tuple[list[Call], float]:
    """The calls of a recipe, each checked once, and the time one round takes."""
    calls = RECIPES[name].build(context)
    assert calls, name
    started = time.perf_counter()
    for call in calls:
        try:
            call.check()
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # pytest.raises fails with a BaseException of its own
            raise AssertionError(f"{name}: {call!r}: {exc!r}") from exc
    return calls, time.perf_counter() - started


@pytest.mark.skipif(not METERS, reason="no allocation meter in this process")
@pytest.mark.parametrize("name", sorted(RECIPES))
def test_no_leak(name, context):
    calls, seconds = prepared(name, context)

    def body() -> None:
        for call in calls:
            call.run()

    gate(body, seconds_per_round=seconds, min_rounds=RECIPES[name].min_rounds,
         meters=[*METERS, references_meter(calls)])


# --- the gate itself -------------------------------------------------------------------------

_libc = ctypes.CDLL(None)
_libc.malloc.restype, _libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
_libc.free.restype, _libc.free.argtypes = None, [ctypes.c_void_p]


class Planted:
    """A leak of one kind, made on demand and undone afterwards: a new
    object kept alive, C heap never freed, or a reference added to an
    object that lives on anyway (which allocates nothing)."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.kept: list[Any] = []
        # made up front, so that no blocks grow with them
        self.pointers = (ctypes.c_void_p * ((WINDOWS + 1) * MAX_ROUNDS))()
        self.used = 0

    def leak(self, argument: Any) -> None:
        if self.kind == "blocks":
            self.kept.append(object())
        elif self.used < len(self.pointers):
            if self.kind == "heap":
                self.pointers[self.used] = _libc.malloc(256)
            else:
                ctypes.pythonapi.Py_IncRef(ctypes.py_object(argument))
                self.kept = [argument]
            self.used += 1

    def undo(self) -> None:
        for i in range(self.used):
            if self.kind == "heap":
                _libc.free(self.pointers[i])
            else:
                ctypes.pythonapi.Py_DecRef(ctypes.py_object(self.kept[0]))
        self.kept.clear()
        self.used = 0


@pytest.mark.parametrize("kind", ["blocks", "heap", "references", "total references"])
def test_the_gate_catches_a_planted_leak(kind, context):
    # A real recipe, with a leak planted on one of its error paths only.
    calls, seconds = prepared("payloads.build_referer", context)
    meters = {"blocks": [m for m in METERS if m.name == "blocks"],
              "heap": [m for m in METERS if m.name.startswith("heap")],
              "references": [references_meter(calls)],
              "total references": [m for m in METERS if m.name == "total references"]}[kind]
    if not meters:
        pytest.skip(f"no {kind} meter in this process")
    planted = Planted(kind)

    def leaking(payload: Any, scenario: Any) -> Any:
        try:
            return p.build_referer(payload, scenario)
        except TypeError:
            planted.leak(payload)
            raise

    where = next(i for i, c in enumerate(calls) if c.fn is p.build_referer and c.expect is TypeError and c.args)
    original = calls[where]
    calls[where] = Call(TypeError, leaking, *original.args, **original.kwargs)

    def body() -> None:
        for call in calls:
            call.run()

    try:
        with pytest.raises(AssertionError, match="grew by"):
            gate(body, seconds_per_round=seconds, meters=meters)
    finally:
        planted.undo()
    calls[where] = original  # and without it, the same recipe passes
    gate(body, seconds_per_round=seconds, meters=meters)
