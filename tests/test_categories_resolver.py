"""SellerSpriteCategoryResolver and the coroutine objects its methods return."""

from __future__ import annotations

import asyncio
import gc
import inspect
import types
import weakref
from typing import Any

import pytest
from conftest import Boom, Hostile, StrSub

from zentrik.seller_sprite.api.categories import CategoryNode, SellerSpriteCategoryResolver
from zentrik.seller_sprite.domain.exceptions import SellerSpriteConfigError

TABLE = "bsr_sales_monthly_202603"
KEYWORDS = {"scenario": "product-research", "site": "US", "period": "2026-03"}


def record(node_id, path, label, label_path, **extra):
    return {"id": node_id, "nodeIdPath": path, "nodeLabel": label, "nodeLabelPath": label_path, **extra}


KITCHEN = record("2", "1:2", "Kitchen & Dining", "Home & Kitchen:Kitchen & Dining")
APPLIANCE = record("3", "9:3", "Kitchen & Dining", "Appliances:Kitchen & Dining")
TOYS = record("7", "7", "Toys & Games", "Toys & Games")

BODIES: dict[str | None, Any] = {
    "Home & Kitchen:Kitchen & Dining": {"items": [KITCHEN]},
    "home & kitchen : kitchen & dining": {"items": [KITCHEN]},
    "Kitchen & Dining": {"data": {"items": [APPLIANCE, KITCHEN]}},
    "Appliances:Kitchen & Dining": {"items": [KITCHEN, APPLIANCE]},
    "Toys": {"items": [TOYS]},
    "Nothing": {"items": []},
}


class FakeClient:
    """The host's client as the resolver sees it: records each call (keyword
    names in order), answers canned bodies (an exception instance is raised),
    and can take its time so that a caller can cancel it mid-request."""

    def __init__(self, bodies: dict[str | None, Any] | None = None, *, delay: float | None = None) -> None:
        self.bodies = BODIES if bodies is None else bodies
        self.delay = delay
        self.calls: list[list[tuple[str, Any]]] = []
        self.positional: list[tuple[Any, ...]] = []
        self.finished: list[str] = []

    async def category_nodes(self, *args: Any, **kwargs: Any) -> Any:
        self.positional.append(args)
        self.calls.append(list(kwargs.items()))
        try:
            if self.delay is not None:
                await asyncio.sleep(self.delay)
            body = self.bodies[kwargs.get("node_label_path") or kwargs.get("node_id_path")]
            if isinstance(body, BaseException):
                raise body.with_traceback(None)  # the same object, without the last raise's traceback
            return body
        finally:
            self.finished.append("done")

    def labels(self) -> list[Any]:
        return [dict(call)["node_label_path"] for call in self.calls]


def run_now(coro: Any) -> Any:
    """The result of a coroutine that must finish within one send(None)."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise AssertionError("the coroutine suspended")


def resolve_params(resolver, params, **keywords):
    return asyncio.run(resolver.resolve_params(params, **{**KEYWORDS, **keywords}))


# --- resolve_params --------------------------------------------------------------------------


@pytest.mark.parametrize("params", [{"keyword": "x"}, {"category": ""}, {"category": " , ,"}, {"node": []}])
def test_params_without_category_text_come_back_as_they_are(params):
    client = FakeClient()
    assert resolve_params(SellerSpriteCategoryResolver(client), params) is params
    assert client.calls == []


@pytest.mark.parametrize(("scenario", "entry"), [
    ("product-research", ["1:2", "3:4"]),
    ("market-research", "1:2,3:4"),
    ("Market-Research", ["1:2", "3:4"]),
])
def test_labels_and_node_paths_resolve_in_place(scenario, entry):
    client = FakeClient()
    params = {"a": 1, "category": "Home & Kitchen:Kitchen & Dining, 3:4", "z": None}
    before = dict(params)
    result = resolve_params(SellerSpriteCategoryResolver(client), params, scenario=scenario)
    assert result == {"a": 1, "category": entry, "z": None} and list(result) == ["a", "category", "z"]
    assert params == before and result is not params
    assert client.calls == [[("market_id", 1), ("table", TABLE), ("node_id_path", None),
                             ("node_label_path", "Home & Kitchen:Kitchen & Dining")]]
    assert client.positional == [()]


@pytest.mark.parametrize(("params", "market", "table"), [
    ({"market": "us", "month": "2026-04"}, 1, "bsr_sales_monthly_202604"),
    ({"market": "", "site": "jp"}, 6, TABLE),
    ({"market": None, "site": ""}, 4, TABLE),
    ({"month": "", "site": "UK"}, 3, TABLE),
])
def test_market_and_month_fall_back_to_site_and_period(params, market, table):
    client = FakeClient()
    resolve_params(SellerSpriteCategoryResolver(client), {**params, "node": "Toys"}, site="DE")
    assert dict(client.calls[0])["market_id"] == market and dict(client.calls[0])["table"] == table


class Changes:
    """A value whose truth test (or text) changes the map it is read from."""

    def __init__(self, params: dict[str, Any], change: dict[str, Any], truth: bool = False, text: str = "") -> None:
        self.params, self.change, self.truth, self.text = params, change, truth, text

    def __bool__(self) -> bool:
        self.params.update(self.change)
        return self.truth

    def __str__(self) -> str:
        self.params.update(self.change)
        return self.text


def changing(key: str, change: dict[str, Any], node: str | None = "Toys", **kw: Any) -> dict[str, Any]:
    params: dict[str, Any] = {"node": node, "market": "us"}
    params[key] = Changes(params, change, **kw)
    return params


@pytest.mark.parametrize(("params", "market", "table"), [
    # Python code that runs between two reads of the map: the later read sees its change
    (changing("nodeIdPaths", {"month": "2026-04"}), 1, "bsr_sales_monthly_202604"),
    (changing("nodeIdPath", {"node": "", "category": "Toys", "site": "jp", "market": ""}), 6, TABLE),
    (changing("month", {"market": "jp"}), 6, TABLE),
    (changing("month", {"market": "jp"}, truth=True, text="2026-05"), 6, "bsr_sales_monthly_202605"),
    (changing("market", {"site": "uk"}), 3, TABLE),
    (changing("category", {"month": "2026-04"}, None, truth=True, text="Toys"), 1,
     "bsr_sales_monthly_202604"),  # the category's own text, made by csv
    # keys of other kinds, maps of 16 and 17 keys, a key equal to a name but another object
    ({1: "x", "node": "Toys", "market": "jp"}, 6, TABLE),
    ({StrSub("market"): "jp", "node": "Toys"}, 6, TABLE),
    *(({**{f"k{i}": i for i in range(n - 2)}, "node": "Toys", "site": "uk"}, 3, TABLE) for n in (16, 17)),
    ({"".join(["no", "de"]): "Toys", "".join(["mar", "ket"]): "jp", "".join(["mo", "nth"]): "2026-04"}, 6,
     "bsr_sales_monthly_202604"),
])
def test_the_map_is_read_as_it_is_at_each_step(params, market, table):
    client = FakeClient()
    resolve_params(SellerSpriteCategoryResolver(client), params)
    assert (dict(client.calls[0])["market_id"], dict(client.calls[0])["table"]) == (market, table)


def test_requests_run_in_order_and_once_per_cache_key():
    client = FakeClient(delay=0.001)
    resolver = SellerSpriteCategoryResolver(client)
    params = {"nodeIdPaths": ["Toys", " Toys ", "home & kitchen : kitchen & dining",
                              "Home & Kitchen:Kitchen & Dining", "5"]}
    result = resolve_params(resolver, params)
    assert result["nodeIdPaths"] == ["7", "7", "1:2", "1:2", "5"]
    assert client.labels() == ["Toys", "home & kitchen : kitchen & dining", "Home & Kitchen:Kitchen & Dining"]
    assert client.finished == ["done"] * 3
    assert sorted(resolver._cache) == [f"1:{TABLE}::Home & Kitchen:Kitchen & Dining",
                                       f"1:{TABLE}::Toys", f"1:{TABLE}::home & kitchen : kitchen & dining"]
    # All cached now: one send(None) finishes, and nothing is asked again.
    assert run_now(resolver.resolve_params(params, **KEYWORDS)) == result and len(client.calls) == 3
    # A request after paths found without one keeps them, in order.
    mixed = resolve_params(resolver, {"node": "Toys, 1:2, Appliances:Kitchen & Dining, Toys"})
    assert mixed["node"] == ["7", "1:2", "9:3", "7"] and len(client.calls) == 4


@pytest.mark.parametrize(("text", "outcome"), [
    ("Appliances:Kitchen & Dining", "9:3"),   # two nodes, one names the text
    ("Toys", "7"),                            # the only node, though its texts differ
    ("Kitchen & Dining", SellerSpriteConfigError(
        "卖家精灵类目存在多个匹配：Kitchen & Dining。请补充完整类目路径或 nodeIdPath。候选："
        "[{'nodeIdPath': '9:3', 'labelPath': 'Appliances:Kitchen & Dining'}, "
        "{'nodeIdPath': '1:2', 'labelPath': 'Home & Kitchen:Kitchen & Dining'}]")),
    ("Nothing", SellerSpriteConfigError("未匹配到卖家精灵类目：Nothing（范围：全部类目）")),
])
def test_label_outcomes_and_cached_errors(text, outcome):
    client = FakeClient()
    resolver = SellerSpriteCategoryResolver(client)
    for _ in range(2):  # the second time from the cache, with the same outcome
        coro = resolver.resolve(f" {text} ", market=4, table=TABLE)
        if isinstance(outcome, str):
            assert run_now(coro) == outcome
        else:
            with pytest.raises(SellerSpriteConfigError) as info:
                run_now(coro)
            assert str(info.value) == str(outcome)
    assert client.labels() == [text]


@pytest.mark.parametrize(("value", "result"), [("", ""), (" \u3000", ""), (" 1:2 ", "1:2"), ("\u0661:\u0662", "\u0661:\u0662")])
def test_resolve_passes_empty_text_and_node_paths_without_a_request(value, result):
    client = FakeClient()
    assert run_now(SellerSpriteCategoryResolver(client).resolve(value, market=Hostile("str"), table="t")) == result
    assert client.calls == []


@pytest.mark.parametrize("value", ["1::2", "1:2:", ":1"])
def test_malformed_node_paths_are_looked_up_as_labels(value):
    client = FakeClient({value: {"items": [TOYS]}})
    assert run_now(SellerSpriteCategoryResolver(client).resolve(value, market=1, table="t")) == "7"
    assert client.labels() == [value]


def test_resolve_label_and_nodes_directly():
    client = FakeClient({" Toys ": {"items": [TOYS]}, "1:5": {"items": [{"id": 6, "nodeLabel": "Six"}]}})
    resolver = SellerSpriteCategoryResolver(client)
    assert run_now(resolver._resolve_label(" Toys ", market="x", table="t")) == "7"
    nodes = run_now(resolver._nodes(market="x", table="t", node_id_path="1:5"))
    assert nodes == [CategoryNode("6", "1:5:6", "Six", "Six", False)]
    assert run_now(resolver._nodes(market="x", table="t", node_id_path="1:5")) is nodes
    assert resolver._cache == {"x:t:: Toys ": [CategoryNode("7", "7", "Toys & Games", "Toys & Games", False)],
                               "x:t:1:5:": nodes}
    assert client.calls[1] == [("market_id", "x"), ("table", "t"), ("node_id_path", "1:5"), ("node_label_path", None)]


@pytest.mark.parametrize(("body", "error"), [
    (Boom("client down"), Boom),
    (asyncio.CancelledError(), asyncio.CancelledError),
    ([], TypeError),
    (None, TypeError),
])
def test_client_errors_pass_through_and_cache_nothing(body, error):
    client = FakeClient({"Toys": body})
    resolver = SellerSpriteCategoryResolver(client)
    with pytest.raises(error) as info:
        run_now(resolver.resolve_params({"node": "Toys, 1:1"}, **KEYWORDS))
    if isinstance(body, BaseException):
        assert info.value is body
    else:
        assert str(info.value) == f"Argument 'payload' has incorrect type (expected dict, got {type(body).__name__})"
    assert resolver._cache == {} and len(client.calls) == 1


class NotAwaitable:
    def category_nodes(self, **kwargs):
        return {"items": [TOYS]}


class Raising:
    def category_nodes(self, **kwargs):
        raise Boom("at once")


class NoMethod:
    pass


@pytest.mark.parametrize(("client", "error", "message"), [
    (NotAwaitable(), TypeError, "object dict can't be used in 'await' expression"),
    (Raising(), Boom, "at once"),
    (NoMethod(), AttributeError, "category_nodes"),
])
def test_unusable_clients(client, error, message):
    resolver = SellerSpriteCategoryResolver(client)
    with pytest.raises(error, match=message):
        run_now(resolver.resolve("Toys", market=1, table="t"))
    assert resolver._cache == {}


@pytest.mark.parametrize("params", [{"node": Hostile("str")}, {"node": "x", "month": Hostile("str")}])
def test_errors_of_the_payloads_helpers_pass_through(params):
    client = FakeClient()
    with pytest.raises(Boom):
        run_now(SellerSpriteCategoryResolver(client).resolve_params(params, **KEYWORDS))
    assert client.calls == []


def test_a_cache_entry_that_is_not_a_node_list_fails_cleanly():
    resolver = SellerSpriteCategoryResolver(FakeClient())
    resolver._cache[f"1:{TABLE}::Toys"] = "junk"
    with pytest.raises(TypeError, match="cached category nodes must be a list, not str"):
        run_now(resolver.resolve("Toys", market=1, table=TABLE))


OTHER_TOYS = CategoryNode("8", "8", "Toys", "Toys", False)
TOYS_NODE = CategoryNode("9", "9", "Toys & Games", "Toys & Games", False)


@pytest.mark.parametrize(("change", "path", "requests"), [
    (lambda cache, key: cache.__setitem__(key, [OTHER_TOYS]), "8", 1),
    (lambda cache, key: cache[key].__setitem__(0, OTHER_TOYS), "8", 1),
    (lambda cache, key: cache[key].append(TOYS_NODE), SellerSpriteConfigError, 1),  # two nodes, no match
    (lambda cache, key: cache[key].append(OTHER_TOYS), "8", 1),  # now an exact match
    (lambda cache, key: cache.clear(), "7", 2),
])  # fmt: skip
def test_a_resolution_made_before_follows_what_the_cache_holds_now(change, path, requests):
    # Resolved twice from the cached answer (the second time without matching
    # anew), then the cache is changed from outside: the next resolution reads it.
    client = FakeClient()
    resolver = SellerSpriteCategoryResolver(client)
    for _ in range(3):
        assert run_now(resolver.resolve(" Toys", market=1, table=TABLE)) == "7"
    change(resolver._cache, f"1:{TABLE}::Toys")
    if isinstance(path, type):
        with pytest.raises(path):
            run_now(resolver.resolve("Toys", market=1, table=TABLE))
    else:
        assert run_now(resolver.resolve("Toys", market=1, table=TABLE)) == path
    assert len(client.calls) == requests and list(resolver._cache) == [f"1:{TABLE}::Toys"]


@pytest.mark.parametrize(("call", "message"), [
    (lambda r: r.resolve_params([], **KEYWORDS), "Argument 'params' has incorrect type (expected dict, got list)"),
    (lambda r: r.resolve_params({}, scenario=None, site="US", period="x"),
     "Argument 'scenario' has incorrect type (expected str, got NoneType)"),
    (lambda r: r.resolve_params({}, scenario="x", site="US", period=StrSub("x")),
     "Argument 'period' has incorrect type (expected str, got StrSub)"),
    (lambda r: r.resolve_params({}, scenario="x"),
     "resolve_params() missing 2 required keyword-only arguments: 'site' and 'period'"),
    (lambda r: r.resolve("x", market=1, table=b"t"), "Argument 'table' has incorrect type (expected str, got bytes)"),
    (lambda r: r._resolve_label("x", table="t"), "_resolve_label() missing 1 required keyword-only argument: 'market'"),
    (lambda r: r._nodes(market=1, table="t", node_id_path=None),
     "Argument 'node_id_path' has incorrect type (expected str, got NoneType)"),
    (lambda r: r._nodes(1, table="t"), "_nodes() takes 0 positional arguments but 1 positional argument (and 1 keyword-only argument) were given"),
    (lambda r: SellerSpriteCategoryResolver(), "SellerSpriteCategoryResolver() missing 1 required positional argument: 'client'"),
])
def test_argument_errors_are_raised_by_the_call(call, message):
    with pytest.raises(TypeError) as info:
        call(SellerSpriteCategoryResolver(FakeClient()))
    assert str(info.value) == message


def test_resolver_attributes():
    client = FakeClient()
    resolver = SellerSpriteCategoryResolver(client=client)
    assert resolver.client is client and resolver._cache == {} and type(resolver._cache) is dict
    for name in ("client", "_cache"):
        with pytest.raises(AttributeError):
            setattr(resolver, name, {})


# --- the coroutine protocol ------------------------------------------------------------------


class Yielder:
    """An awaitable whose iterator yields `token` once and returns what it is sent."""

    def __init__(self, token: object) -> None:
        self.token = token

    def __await__(self):
        sent = yield self.token
        return sent


class Scripted:
    """A client whose answer is whatever is sent into its awaitable, and that
    records what is thrown into it."""

    def __init__(self) -> None:
        self.seen: list[str] = []
        self.token = object()

    async def category_nodes(self, **kwargs):
        try:
            return await Yielder(self.token)
        except ValueError:
            self.seen.append("ValueError")
            return {"items": [TOYS]}
        except BaseException as exc:
            self.seen.append(type(exc).__name__)
            raise


def test_the_coroutine_looks_like_one():
    coro = SellerSpriteCategoryResolver(FakeClient()).resolve("1", market=1, table="t")
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro) and coro.__await__() is coro
    assert coro.__qualname__ == "SellerSpriteCategoryResolver.resolve" and coro.__name__ == "resolve"
    assert repr(coro).startswith("<zentrik_coroutine object SellerSpriteCategoryResolver.resolve at 0x")
    assert coro.cr_running is False and coro.cr_await is None and coro.cr_frame is None
    assert weakref.ref(coro)() is coro
    with pytest.raises(TypeError):
        type(coro)()
    assert run_now(coro) == "1"


def test_what_the_client_yields_passes_out_and_sends_come_back_in():
    client = Scripted()
    resolver = SellerSpriteCategoryResolver(client)
    coro = resolver.resolve("Toys & Games", market=1, table="t")
    assert coro.send(None) is client.token
    assert coro.cr_await is not None
    with pytest.raises(StopIteration) as stop:
        coro.send({"items": [KITCHEN, TOYS]})  # becomes the client's answer
    assert stop.value.value == "7" and coro.cr_await is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.throw(ValueError("late"))
    assert coro.close() is None


@pytest.mark.parametrize("form", ["instance", "type", "legacy"])
def test_throw_reaches_the_client_and_then_the_frame(form):
    client = Scripted()
    resolver = SellerSpriteCategoryResolver(client)
    coro = resolver.resolve("Toys", market=1, table="t")
    coro.send(None)
    args = {"instance": (ValueError("x"),), "type": (ValueError,), "legacy": (ValueError, ValueError("x"), None)}
    with pytest.raises(StopIteration) as stop:  # the client caught it and answered
        coro.throw(*args[form])
    assert stop.value.value == "7" and client.seen == ["ValueError"]
    assert list(resolver._cache) == ["1:t::Toys"]

    coro = SellerSpriteCategoryResolver(client).resolve("Toys", market=1, table="t")
    coro.send(None)
    error = KeyError("passes")
    with pytest.raises(KeyError) as info:
        coro.throw(error)
    assert info.value is error and client.seen[-1] == "KeyError"


@pytest.mark.parametrize(("args", "message"), [
    ((), "throw expected at least 1 argument, got 0"),
    ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ((ValueError, None, None, None), "throw expected at most 3 arguments, got 4"),
])
def test_throw_argument_errors(args, message):
    coro = SellerSpriteCategoryResolver(Scripted()).resolve("Toys", market=1, table="t")
    coro.send(None)
    with pytest.raises(TypeError) as info:
        coro.throw(*args)
    assert str(info.value) == message
    assert coro.cr_await is not None  # still waiting, untouched
    coro.close()


def test_a_fresh_coroutine():
    client = FakeClient()
    resolver = SellerSpriteCategoryResolver(client)
    coro = resolver.resolve("Toys", market=1, table="t")
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    coro.close()
    coro = resolver.resolve("Toys", market=1, table="t")
    with pytest.raises(Boom):
        coro.throw(Boom("before the start"))
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    coro = resolver.resolve("Toys", market=1, table="t")
    coro.close()
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    assert client.calls == []


@pytest.mark.parametrize("end", ["close", "throw", "drop"])
def test_closing_a_waiting_coroutine_closes_the_client_call(end):
    client = Scripted()
    resolver = SellerSpriteCategoryResolver(client)
    coro = resolver.resolve_params({"node": "Toys"}, **KEYWORDS)
    coro.send(None)
    if end == "close":
        assert coro.close() is None
    elif end == "throw":
        with pytest.raises(GeneratorExit):
            coro.throw(GeneratorExit)
    else:
        ref = weakref.ref(coro)
        del coro
        gc.collect()
        assert ref() is None
    assert client.seen == ["GeneratorExit"] and resolver._cache == {}
    if end != "drop":
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)


def test_a_waiting_coroutine_in_a_reference_cycle_is_collected():
    client = Scripted()
    resolver = SellerSpriteCategoryResolver(client)
    coro = resolver.resolve_params({"node": "Toys", "me": None}, **KEYWORDS)
    client.keep = [coro, resolver]  # client -> coroutine -> resolver -> client
    coro.send(None)
    ref = weakref.ref(coro)
    del coro, resolver, client
    gc.collect()
    assert ref() is None


def test_reentrant_driving_is_refused():
    resolver_box: list[Any] = []

    class Reentrant:
        async def category_nodes(self, **kwargs):
            resolver_box[0].send(None)

    coro = SellerSpriteCategoryResolver(Reentrant()).resolve("x", market=1, table="t")
    resolver_box.append(coro)
    with pytest.raises(ValueError, match="coroutine already executing"):
        coro.send(None)


def test_awaitables_of_other_kinds():
    class PlainIterator:  # __await__ gives an iterator without send/throw
        def __await__(self):
            return iter([None])

    @types.coroutine
    def generator_coroutine():
        yield
        return {"items": [TOYS]}

    class Client:
        def __init__(self, answer):
            self.answer = answer

        def category_nodes(self, **kwargs):
            return self.answer

    coro = SellerSpriteCategoryResolver(Client(PlainIterator())).resolve("Toys", market=1, table="t")
    assert coro.send(None) is None
    with pytest.raises(Boom):  # no throw() to forward to: raised at the await
        coro.throw(Boom())
    coro = SellerSpriteCategoryResolver(Client(generator_coroutine())).resolve("Toys", market=1, table="t")
    assert coro.send(None) is None
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value == "7"

    async def elsewhere():
        return await Yielder("token")

    busy = elsewhere()
    assert busy.send(None) == "token"  # suspended in an await of its own
    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        run_now(SellerSpriteCategoryResolver(Client(busy)).resolve("Toys", market=1, table="t"))
    busy.close()


# --- under asyncio ---------------------------------------------------------------------------


def test_awaited_twice_and_gathered():
    async def main():
        resolver = SellerSpriteCategoryResolver(FakeClient(delay=0.001))
        coro = resolver.resolve("Toys", market=1, table="t")
        first = await coro
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            await coro
        both = await asyncio.gather(resolver.resolve("Toys", market=1, table="t"),
                                    resolver.resolve_params({"node": "Kitchen & Dining, Toys"}, **KEYWORDS),
                                    return_exceptions=True)
        return first, both

    first, (again, error) = asyncio.run(main())
    assert first == again == "7" and isinstance(error, SellerSpriteConfigError)


def test_interleaved_misses_both_request_and_each_keeps_its_answer():
    client = FakeClient({"Toys": {"items": [TOYS]}}, delay=0.001)
    resolver = SellerSpriteCategoryResolver(client)

    async def main():
        return await asyncio.gather(resolver._nodes(market=1, table="t", node_label_path="Toys"),
                                    resolver._nodes(market=1, table="t", node_label_path="Toys"))

    first, second = asyncio.run(main())
    assert first == second and first is not second and len(client.calls) == 2
    assert any(resolver._cache["1:t::Toys"] is answer for answer in (first, second))


@pytest.mark.parametrize("how", ["wait_for", "cancel"])
def test_cancellation_mid_request_leaves_the_cache_consistent(how):
    client = FakeClient(delay=10)
    resolver = SellerSpriteCategoryResolver(client)

    async def main():
        coro = resolver.resolve_params({"node": "Toys"}, **KEYWORDS)
        if how == "wait_for":
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(coro, 0.01)
        else:
            async def outer():  # cancelled through a Python coroutine's await: the legacy throw form
                return await coro

            task = asyncio.ensure_future(outer())
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        assert coro.cr_await is None and coro.cr_running is False
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)
        client.delay = None
        return await resolver.resolve_params({"node": "Toys"}, **KEYWORDS)

    assert asyncio.run(main()) == {"node": ["7"]}
    assert client.finished == ["done", "done"] and len(client.calls) == 2
    assert list(resolver._cache) == [f"1:{TABLE}::Toys"]


# --- as an async def coroutine does ----------------------------------------------------------
# Each case is run on the resolver's coroutine and on an async def twin that
# makes the same calls and awaits; both must behave alike.


class Stop:
    """A market option whose text form raises StopIteration."""

    def __str__(self) -> str:
        raise StopIteration("from __str__")


class StopClient:
    def category_nodes(self, **kwargs: Any) -> Any:
        raise StopIteration("from the client")


def stop_iteration_cases() -> list[tuple[str, Any, Any]]:
    async def twin_str() -> Any:
        return str(Stop())

    async def twin_client() -> Any:
        return await StopClient().category_nodes()

    return [
        ("__str__", lambda: SellerSpriteCategoryResolver(FakeClient()).resolve_params(
            {"node": "Toys", "market": Stop()}, **KEYWORDS), twin_str),
        ("client", lambda: SellerSpriteCategoryResolver(StopClient()).resolve("Toys", market=1, table="t"),
         twin_client),
    ]  # fmt: skip


def outcome_of(drive: str, make: Any) -> tuple[type, str, Any]:
    async def awaited() -> Any:
        return await make()

    try:
        if drive == "send":
            make().send(None)
        elif drive == "await":
            awaited().send(None)
        else:
            asyncio.run(asyncio.wait_for(make(), 5))  # a StopIteration lost in a Task would hang it
    except BaseException as exc:  # noqa: BLE001 - the outcome is what is compared
        return type(exc), str(exc), exc.__cause__ and type(exc.__cause__).__name__
    return type(None), "returned", None


@pytest.mark.parametrize("drive", ["send", "await", "asyncio"])
@pytest.mark.parametrize("case", stop_iteration_cases(), ids=lambda c: c[0])
def test_stop_iteration_escaping_a_frame_becomes_runtime_error(case, drive):
    _, ours, twin = case
    assert outcome_of(drive, ours) == outcome_of(drive, twin) == (
        RuntimeError, "coroutine raised StopIteration", "StopIteration")


@pytest.mark.parametrize(("method", "args"), [
    ("resolve_params", ({"node": "Toys"},)), ("resolve", ("Toys",)), ("_resolve_label", ("Toys",)), ("_nodes", ()),
])  # fmt: skip
def test_a_coroutine_never_awaited_warns(method, args):
    resolver = SellerSpriteCategoryResolver(FakeClient())
    keywords = KEYWORDS if method == "resolve_params" else {"market": 1, "table": "t"}
    with pytest.warns(RuntimeWarning) as seen:
        getattr(resolver, method)(*args, **keywords)
        gc.collect()
    assert [str(w.message) for w in seen] == [f"coroutine 'SellerSpriteCategoryResolver.{method}' was never awaited"]


def test_a_second_awaiter_is_refused():
    async def twin() -> Any:
        return await Yielder("token")

    async def awaiting(coro: Any) -> Any:
        return await coro

    async def main(make: Any) -> Any:
        coro = make()
        first = asyncio.get_running_loop().create_task(awaiting(coro))
        await asyncio.sleep(0)  # the first awaiter is now suspended inside it
        try:
            await coro
        except RuntimeError as exc:
            return str(exc)
        finally:
            first.cancel()

    ours = lambda: SellerSpriteCategoryResolver(Scripted()).resolve("Toys", market=1, table="t")  # noqa: E731
    assert asyncio.run(main(ours)) == asyncio.run(main(twin)) == "coroutine is being awaited already"


class Holder:
    """A market option that keeps a reference to the coroutine reading it."""

    coro: Any = None

    def __str__(self) -> str:
        return "ZZ"  # no station: the option itself becomes the client's market


def test_a_cycle_through_what_a_suspended_frame_holds_is_collected():
    async def twin(params: dict[str, Any]) -> Any:
        market = params["market"]
        await Yielder("token")
        return market

    def ours(params: dict[str, Any]) -> Any:
        return SellerSpriteCategoryResolver(Scripted()).resolve_params(params, **KEYWORDS)

    for make in (twin, ours):
        params = {"node": "Toys", "market": Holder()}
        coro = make(params)
        params["market"].coro = coro
        coro.send(None)
        params.clear()  # now only the frame holds the option: option -> coroutine -> frame -> option
        ref = weakref.ref(coro)
        del coro, params
        gc.collect()
        assert ref() is None, make


@pytest.mark.parametrize("make", [
    lambda: CategoryNode("1", "1", "A", "A", False), lambda: SellerSpriteCategoryResolver(FakeClient()),
])  # fmt: skip
def test_weak_references(make):
    obj = make()
    ref = weakref.ref(obj)
    assert ref() is obj
    del obj
    gc.collect()
    assert ref() is None
