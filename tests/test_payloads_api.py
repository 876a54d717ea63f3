"""The surface of the payloads module: docstrings, signatures, argument
errors, the type stub and a leak loop over every function."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import pathlib
import pydoc
import subprocess
import sys
from collections import OrderedDict

import pytest

from conftest import Hostile, StrSub, assert_no_leak, bare_signature, call_error, mypy_env
from zentrik.seller_sprite.api import payloads as p

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "zentrik" / "seller_sprite" / "api" / "payloads.pyi"

SIGNATURES = {
    "csv": "(value)",
    "_query_text": "(value)",
    "order_desc": "(value)",
    "truthy": "(value, *, default=False)",
    "_market": "(input_data, *, default='DE')",
    "_int": "(value, default)",
    "json_like_list": "(values)",
    "_flatten_query": "(payload)",
    "market_id": "(value)",
    "market_research_market_id": "(value)",
    "station_from_market_id": "(value)",
    "traffic_source_market": "(value)",
    "traffic_source_market_id": "(value)",
    "month_name": "(value)",
    "history_date": "(value)",
    "build_referer": "(payload, scenario)",
    "make_competitor_payload": "(input_data)",
}
DOCS = {
    "build_referer": "按场景构造 Web referer。",
    "make_competitor_payload": "构造竞品查询 payload。",
}


def test_module_docstring_and_name():
    assert p.__doc__ == "卖家精灵场景 payload 构造。"
    assert p.__name__ == "zentrik.seller_sprite.api.payloads"


@pytest.mark.parametrize("name, doc", DOCS.items())
def test_docstrings(name, doc):
    function = getattr(p, name)
    assert function.__doc__ == doc
    assert doc in pydoc.render_doc(function)


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_signatures(name, signature):
    function = getattr(p, name)
    assert function.__name__ == name
    sig = inspect.signature(function)
    assert bare_signature(function) == signature
    for param in sig.parameters.values():
        expected = inspect.Parameter.KEYWORD_ONLY if param.name == "default" and "*" in signature else (
            inspect.Parameter.POSITIONAL_OR_KEYWORD
        )
        assert param.kind is expected
    assert name in pydoc.render_doc(function, renderer=pydoc.plaintext)


# --- argument errors: the interpreter's own wording for a Python function of
# --- the same signature

def python_twin(name):
    namespace: dict = {}
    exec(f"def {name}{SIGNATURES[name]}: pass", namespace)
    return namespace[name]


BAD_CALLS = [
    ((), {}),
    ((1, 2, 3), {}),
    ((1,), {"bogus": 1}),
    ((1, 2, 3), {"bogus": 1}),
    ((), {"bogus": 1}),
    ((1,), {"value": 1, "payload": 1, "input_data": 1, "values": 1}),
    ((1, 2, 3), {"default": 1}),
    ((1, 2, 3), {"value": 1}),
    ((1, 2), {"default": 1}),
    ((), {"default": 1}),
    ((), {"scenario": "x"}),
    ((), {"values": 1, "value": 1}),
]


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_argument_errors_match_python_functions(name):
    function, twin = getattr(p, name), python_twin(name)
    compared = 0
    for args, kwargs in BAD_CALLS:
        expected = call_error(twin, args, kwargs)
        if expected is None:
            continue  # a valid call for this signature
        assert call_error(function, args, kwargs) == expected, (args, kwargs)
        compared += 1
    assert compared >= 6


@pytest.mark.parametrize(
    "call",
    [
        lambda: p.csv(value="a,b"),
        lambda: p.truthy(value="yes", default=True),
        lambda: p._market(input_data={"site": "fr"}, default="x"),
        lambda: p._int(value="3", default=0),
        lambda: p._int(default=0, value="3"),
        lambda: p.json_like_list(values=["a"]),
        lambda: p._flatten_query(payload={"a": 1}),
        lambda: p.month_name(value="2026-03"),
        lambda: p.build_referer(scenario="keyword-miner", payload={}),
        lambda: p.make_competitor_payload(input_data={}),
    ],
)
def test_parameters_by_name(call):
    call()


class DictSub(dict):
    pass


class ListSub(list):
    pass


KIND_CASES = [
    (p._market, "input_data", "dict", lambda a: ((a,), {})),
    (p._market, "default", "str", lambda a: (({},), {"default": a})),
    (p.json_like_list, "values", "list", lambda a: ((a,), {})),
    (p._flatten_query, "payload", "dict", lambda a: ((a,), {})),
    (p.build_referer, "payload", "dict", lambda a: ((a, "x"), {})),
    (p.build_referer, "scenario", "str", lambda a: (({}, a), {})),
    (p.make_competitor_payload, "input_data", "dict", lambda a: ((a,), {})),
]
# value, and its type as the interpreter names it in messages
WRONG = {
    "dict": [(None, "NoneType"), (DictSub(), "DictSub"), (OrderedDict(), "collections.OrderedDict"), ([], "list"),
             ("x", "str"), (1, "int"), ((), "tuple")],
    "str": [(None, "NoneType"), (StrSub("x"), "StrSub"), (b"x", "bytes"), (1, "int"), (["x"], "list")],
    "list": [(None, "NoneType"), (ListSub(), "ListSub"), ((), "tuple"), ("ab", "str"), ({}, "dict"), (1, "int")],
}  # fmt: skip


@pytest.mark.parametrize("function, argname, kind, build", KIND_CASES)
def test_arguments_of_the_wrong_kind(function, argname, kind, build):
    for value, got in WRONG[kind]:
        args, kwargs = build(value)
        with pytest.raises(TypeError) as info:
            function(*args, **kwargs)
        assert str(info.value) == f"Argument '{argname}' has incorrect type (expected {kind}, got {got})"


def test_map_argument_is_checked_before_its_keyword():
    with pytest.raises(TypeError, match="'input_data'"):
        p._market(None, default=None)
    with pytest.raises(TypeError, match="'payload'"):
        p.build_referer(None, None)


# --- the type stub ---------------------------------------------------------------


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_functions():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}


def test_stub_names_are_the_module_names():
    names = set(stub_functions())
    names |= {n.target.id for n in stub_tree().body if isinstance(n, ast.AnnAssign)}
    runtime = {n for n in dir(p) if not n.startswith("__")}
    assert {n for n in names if not n.startswith("__")} == runtime


def test_stub_parameters_match_the_runtime():
    for name, node in stub_functions().items():
        sig = inspect.signature(getattr(p, name))
        stub_params = [(a.arg, "POSITIONAL_OR_KEYWORD") for a in node.args.args]
        stub_params += [(a.arg, "KEYWORD_ONLY") for a in node.args.kwonlyargs]
        assert [(q.name, q.kind.name) for q in sig.parameters.values()] == stub_params, name
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        defaults += [ast.literal_eval(d) for d in node.args.kw_defaults if d is not None]
        runtime_defaults = [q.default for q in sig.parameters.values() if q.default is not q.empty]
        assert defaults == runtime_defaults, name


def test_stub_annotates_every_parameter_and_result():
    for name, node in stub_functions().items():
        assert node.returns is not None, name
        for a in node.args.args + node.args.kwonlyargs:
            assert a.annotation is not None, (name, a.arg)
    builders = [n for n in stub_functions() if n.startswith("make_")]
    for name in builders:
        node = stub_functions()[name]
        assert ast.unparse(node.returns) == "dict[str, Any]"
        assert [ast.unparse(a.annotation) for a in node.args.args] == ["dict[str, Any]"]


BAD_USES = """\
from zentrik.seller_sprite.api import payloads as p

p.make_competitor_payload(None)
p.build_referer({}, 1)
p._market({}, default=None)
p.json_like_list("ab")
p.truthy(1, True)
n: str = p._int("1", 0)
s: int = p.month_name("x")
l: list[int] = p.csv("a")
p._preset_key(1)
p.csv(value="a", other=1)
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stub_checks_with_mypy(tmp_path):
    good = ROOT / "tests" / "stub_examples" / "payloads_examples.py"
    bad = tmp_path / "bad_payload_uses.py"
    bad.write_text(BAD_USES)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", "3.10", "--cache-dir",
         str(tmp_path / "cache"), str(good), str(bad)],
        capture_output=True, text=True, env=mypy_env(), cwd=tmp_path,
    )  # fmt: skip
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "payloads_examples" in e], result.stdout
    assert sorted({int(e.split(":")[1]) for e in errors}) == list(range(3, 13)), result.stdout


def test_stub_examples_run():
    spec = importlib.util.spec_from_file_location("payloads_examples", ROOT / "tests" / "stub_examples" / "payloads_examples.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.run()


# --- leaks ------------------------------------------------------------------------

_flat_payload = {"market": "US", "asins": ["A", "B"], "order": {"field": "x", "desc": True}, "n": None, "ü": 1.5}
_odd_payload = {"a[b]": "1", "a": {"b": "2"}, 1: [None]}
_options = {
    "site": "us", "month": "2026-03", "asins": "A,B", "node": ["1:2"], "page": "2", "size": "x",
    "orderField": "f", "orderDesc": "FALSE", "lowPrice": "Y", "keyword": "k", "brand": "b", "sellerName": "s",
}  # fmt: skip

LEAK_BODIES = {
    "csv": lambda: (p.csv(" a, b ,,c"), p.csv(["x ", 5, None]), p.csv(12), p.csv([Hostile("str")])),
    "_query_text": lambda: (p._query_text([" B ", "", 7]), p._query_text(" x "), p._query_text(Hostile("bool"))),
    "order_desc": lambda: (p.order_desc("FALSE"), p.order_desc("faLSé"), p.order_desc(Hostile("str"))),
    "truthy": lambda: (p.truthy("Yes"), p.truthy(None, default=1), p.truthy("ÿes"), p.truthy(1, 2)),
    "_market": lambda: (p._market({"site": "fr"}), p._market({}, default="ß"), p._market({}, default=1)),
    "_int": lambda: (
        p._int(" 42 ", 0), p._int("9" * 40, 0), p._int("x", 2.5), p._int("1" * 5000, 0), p._int(2.0, True),
        p._int("x", "y"),
    ),
    "_int overflow": lambda: p._int(float("inf"), 0),
    "json_like_list": lambda: (p.json_like_list(["A", 1, None]), p.json_like_list([]), p.json_like_list(())),
    "_flatten_query": lambda: (p._flatten_query(_flat_payload), p._flatten_query(_odd_payload), p._flatten_query(1)),
    "market_id": lambda: (p.market_id("us"), p.market_id("ıt"), p.market_id("GB"), p.market_id(Hostile("str"))),
    "market_research_market_id": lambda: (p.market_research_market_id("mx"), p.market_research_market_id(None)),
    "station_from_market_id": lambda: (
        p.station_from_market_id("4"), p.station_from_market_id(10**30), p.station_from_market_id("abc"),
        p.station_from_market_id(float("inf")),
    ),
    "traffic_source_market": lambda: (p.traffic_source_market("us"), p.traffic_source_market("gb"), p.traffic_source_market("ß")),
    "traffic_source_market_id": lambda: (p.traffic_source_market_id("com"), p.traffic_source_market_id("xx")),
    "month_name": lambda: (p.month_name("2026-03"), p.month_name("２０２６-０３"), p.month_name("30d"), p.month_name(None)),
    "history_date": lambda: (p.history_date("bsr_sales_monthly_2026-03"), p.history_date("2026-03"), p.history_date("é-")),
    "build_referer": lambda: (
        p.build_referer(_flat_payload, "competitor-lookup"), p.build_referer(_odd_payload, "market-research"),
        p.build_referer({"asin": "B", "badges": ["a"]}, "keyword-reverse"), p.build_referer({}, "traffic-source"),
        p.build_referer({}, "keyword-miner"),
    ),
    "build_referer errors": lambda: (
        call(p.build_referer, {"badges": [1]}, "keyword-reverse"), call(p.build_referer, {"k": "\ud800"}, "x"),
        call(p.build_referer, {"k": Hostile("str")}, "x"), call(p.build_referer, {}, None),
    ),
    "make_competitor_payload": lambda: (p.make_competitor_payload({}), p.make_competitor_payload(_options)),
    "make_competitor_payload errors": lambda: (
        call(p.make_competitor_payload, {"market": Hostile("bool")}),
        call(p.make_competitor_payload, {"page": Hostile("int")}),
        call(p.make_competitor_payload, None),
    ),
    "argument errors": lambda: (
        call(p.csv), call(p.csv, 1, 2), call(p.csv, 1, bogus=2), call(p._int, 1), call(p.truthy, 1, default=1, value=2),
        call(p._market, {}, 1, default="x"),
    ),
}


def call(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the error path is what is measured
        return exc


@pytest.mark.parametrize("name", sorted(LEAK_BODIES))
def test_no_leaks(name):
    assert_no_leak(LEAK_BODIES[name])
