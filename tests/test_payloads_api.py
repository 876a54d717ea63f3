"""The surface of the payloads module: docstrings, signatures, argument
errors and the type stub (stubtest checks its parameters against the
runtime; test_functions.py its annotations; the leak gate every function)."""

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

from conftest import StrSub, bare_signature, call_error, mypy_env, python_twin
from zentrik.seller_sprite.api import payloads as p

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "zentrik-stubs" / "seller_sprite" / "api" / "payloads.pyi"

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
}
# The builders and their helpers are checked in test_payloads_builders_common.py.
DOCS = {
    "build_referer": "按场景构造 Web referer。",
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
    ((1,), {"valu": 1}),  # names that begin or end like a parameter's
    ((1,), {"value\0": 1}),
    ((), {"payload\0": 1}),
    ((1,), {"": 1}),
]


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_argument_errors_match_python_functions(name):
    function, twin = getattr(p, name), python_twin(name, SIGNATURES[name])
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
