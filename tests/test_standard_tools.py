"""The modules' objects as standard tools read them: dataclasses, inspect,
asyncio and unittest.mock, the interpreter's own messages."""

from __future__ import annotations

import asyncio
import copy
import dataclasses
import inspect
import subprocess
import sys
from unittest import mock

import pytest

from zentrik.auth.storage import crypto
from zentrik.seller_sprite.api import categories, payloads

NODE = categories.CategoryNode("1", "1:2", "Toys", "Kids : Toys", True)
FIELDS = ["id", "node_id_path", "label", "label_path", "has_children"]
RESOLVER_METHODS = ["resolve_params", "resolve", "_resolve_label", "_nodes"]


@dataclasses.dataclass(frozen=True)
class Twin:
    """A frozen dataclass of the same fields: what CategoryNode stands for."""

    id: str
    node_id_path: str
    label: str
    label_path: str
    has_children: bool


TWIN = Twin("1", "1:2", "Toys", "Kids : Toys", True)


@pytest.mark.parametrize("read", [
    lambda o: dataclasses.is_dataclass(o) and dataclasses.is_dataclass(type(o)),
    lambda o: [(f.name, f.init, f.default) for f in dataclasses.fields(o)],
    dataclasses.asdict,
    dataclasses.astuple,
    lambda o: dataclasses.astuple(dataclasses.replace(o, label="Games", has_children=False)),
    lambda o: type(o).__dataclass_params__.frozen,
    *([lambda o: dataclasses.astuple(copy.replace(o, label="Games"))] if sys.version_info >= (3, 13) else []),
])
def test_category_node_reads_as_its_frozen_dataclass_twin(read):
    assert read(NODE) == read(TWIN)
    assert [f.name for f in dataclasses.fields(NODE)] == FIELDS


def test_category_node_replace_refuses_what_the_class_refuses():
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        dataclasses.replace(NODE, colour="red")


@pytest.mark.parametrize("name", RESOLVER_METHODS)
def test_resolver_methods_read_as_coroutine_functions(name):
    resolver = categories.SellerSpriteCategoryResolver(object())
    for method in (getattr(resolver, name), getattr(categories.SellerSpriteCategoryResolver, name)):
        assert inspect.iscoroutinefunction(method)
        if sys.version_info < (3, 14):  # deprecated from 3.14 on
            assert asyncio.iscoroutinefunction(method)
    if sys.version_info >= (3, 12):  # the mark inspect.markcoroutinefunction sets
        mark = inspect.markcoroutinefunction(lambda: None)._is_coroutine_marker
        assert vars(categories.SellerSpriteCategoryResolver)[name]._is_coroutine_marker is mark
    assert not inspect.iscoroutinefunction(payloads.csv) and not hasattr(payloads.csv, "__code__")


def test_autospec_of_a_resolver_gives_awaitable_children_that_check_their_calls():
    spec = mock.create_autospec(categories.SellerSpriteCategoryResolver(object()))
    spec.resolve.return_value = "1:2"
    assert asyncio.run(spec.resolve("Toys", market=1, table="t")) == "1:2"
    with pytest.raises(TypeError):
        spec.resolve("Toys", 1, "t")  # market and table are keyword-only
    assert all(isinstance(getattr(spec, name), mock.AsyncMock) for name in RESOLVER_METHODS)


@pytest.mark.parametrize(("function", "refused"), [
    (payloads.csv, lambda f: f()),
    (payloads.build_referer, lambda f: f({}, "x", "y")),
    (categories._exact_matches, lambda f: f("x", [], extra=1)),
])
def test_autospec_of_a_function_refuses_what_the_function_refuses(function, refused):
    spec = mock.create_autospec(function)
    for f in (function, spec):
        with pytest.raises(TypeError):
            refused(f)
    assert function.__call__ is function and inspect.signature(spec) == inspect.signature(function)


@pytest.mark.parametrize("function", [payloads.csv, categories._exact_matches, crypto.Crypto.encrypt])
def test_function_type_named_whole_in_messages(function):
    with pytest.raises(AttributeError, match=r"^'zentrik_function' object has no attribute 'missing'$"):
        function.missing


@pytest.mark.parametrize("replaced", ["\ud800", "x"])
def test_referer_encodes_only_the_value_a_later_key_leaves(replaced):
    payload = {"order": {"field": replaced}, "order[field]": "desc"}
    assert payloads.build_referer(payload, "competitor-lookup").endswith("?order%5Bfield%5D=desc")


def test_loading_the_modules_imports_nothing_their_first_calls_do_not_need():
    code = ("import sys; before = set(sys.modules)\n"
            "import zentrik.seller_sprite.api.categories as c, zentrik.auth.storage.crypto\n"
            "print(sorted(m for m in set(sys.modules) - before if not m.startswith(('zentrik', 'encodings.'))))\n"
            "print(c.NODE_PATH_RE.pattern, 'NODE_PATH_RE' in dir(c))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.stdout.splitlines() == ["[]", r"^\d+(?::\d+)*$ True"], result.stderr
