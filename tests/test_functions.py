"""The modules' functions and annotated methods read and behave as Python
functions do: annotations that agree with the stubs and resolve, signatures,
help(), binding, pickling, copying, wrapping."""

from __future__ import annotations

import ast
import copy
import functools
import inspect
import pathlib
import pickle
import pydoc
import typing

import pytest

from zentrik.auth.storage import crypto as cr
from zentrik.seller_sprite.api import categories as cat
from zentrik.seller_sprite.api import payloads as p

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "zentrik-stubs"
STUBS = {p: SRC / "seller_sprite/api/payloads.pyi", cat: SRC / "seller_sprite/api/categories.pyi",
         cr: SRC / "auth/storage/crypto.pyi"}  # fmt: skip

# Where the stub is deliberately wider than the annotation the function
# documents: the constructor takes any path-like object.
WIDER_IN_STUB = {("Crypto.__init__", "key_path"): ("str | PathLike[str]", "Path")}


def native(value):
    return type(value).__qualname__ == "zentrik_function"


def functions():
    """(qualified name, function, stub definition) of every module function and method of this type."""
    found = []
    for module, stub in STUBS.items():
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        kinds = (ast.FunctionDef, ast.AsyncFunctionDef)
        defs = {n.name: n for n in tree.body if isinstance(n, kinds)}
        for c in (n for n in tree.body if isinstance(n, ast.ClassDef)):
            defs.update({f"{c.name}.{m.name}": m for m in c.body if isinstance(m, kinds)})
        owned = [(n, v) for n, v in vars(module).items() if native(v) and v.__module__ == module.__name__]
        for cls in (v for v in vars(module).values() if isinstance(v, type)):
            owned += [(f"{cls.__name__}.{n}", v) for n, v in vars(cls).items() if native(v)]
        found += [(f"{module.__name__.rsplit('.', 1)[1]}.{name}", fn, defs[name]) for name, fn in owned]
    return found


FUNCTIONS = functions()
IDS = [name for name, _, _ in FUNCTIONS]


def test_every_function_and_annotated_method_is_one():
    assert len(FUNCTIONS) == 29 + 7 + 4 + 4  # the last: the resolver's methods
    assert {"payloads.make_competitor_payload", "categories._parse_nodes", "crypto.Crypto.__init__"} <= set(IDS)


@pytest.mark.parametrize(("name", "function", "stub"), FUNCTIONS, ids=IDS)
def test_annotations_agree_with_the_stub_and_resolve(name, function, stub):
    args = [a for a in stub.args.args + stub.args.kwonlyargs if a.arg != "self"]
    expected = {a.arg: ast.unparse(a.annotation) for a in args}
    expected["return"] = ast.unparse(stub.returns)
    qualname = name.split(".", 1)[1]
    for (where, param), (wide, documented) in WIDER_IN_STUB.items():
        if where == qualname and expected[param] == wide:
            expected[param] = documented
    assert function.__annotations__ == expected
    hints = typing.get_type_hints(function)
    assert set(hints) == set(expected) and all(not isinstance(h, (str, typing.ForwardRef)) for h in hints.values())
    sig = inspect.signature(function)
    assert {q.name: q.annotation for q in sig.parameters.values() if q.name != "self"} == {
        k: v for k, v in expected.items() if k != "return"}
    assert sig.return_annotation == expected["return"]


def test_signature_and_help_read_as_for_a_python_function():
    def make_competitor_payload(input_data: dict[str, Any]) -> dict[str, Any]:  # noqa: F821 - texts, never evaluated
        """构造竞品查询 payload。"""

    f = p.make_competitor_payload
    assert str(inspect.signature(f)) == "(input_data: 'dict[str, Any]') -> 'dict[str, Any]'"
    assert str(inspect.signature(f)) == str(inspect.signature(make_competitor_payload))
    body = pydoc.plaintext.document(f)
    assert body == pydoc.plaintext.document(make_competitor_payload)
    assert (f.__name__, f.__qualname__, f.__module__) == ("make_competitor_payload",) * 2 + (p.__name__,)
    assert f.__text_signature__ == "($module, /, input_data)" and f.__doc__ == "构造竞品查询 payload。"
    assert repr(f).startswith("<function make_competitor_payload at 0x")
    method = cr.Crypto.encrypt
    assert (method.__qualname__, method.__module__) == ("Crypto.encrypt", cr.__name__)

    def encrypt(self, /, plaintext: str) -> bytes:
        """加密明文字符串。"""

    shown = pydoc.plaintext.document(encrypt).splitlines()[0]
    assert shown in pydoc.render_doc(cr.Crypto, renderer=pydoc.plaintext)


@pytest.mark.parametrize("function", [p.csv, p.make_market_research_payload, cat._label, cr.Crypto.decrypt],
                         ids=lambda f: f.__qualname__)
def test_what_users_do_with_a_function(function):
    assert pickle.loads(pickle.dumps(function)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    assert function == function and function != p.truthy and hash(function) == hash(function)

    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    assert wrapper.__wrapped__ is function and wrapper.__doc__ == function.__doc__
    assert inspect.signature(wrapper) == inspect.signature(function)
    assert typing.get_type_hints(wrapper) == typing.get_type_hints(function)


def test_binding_and_calls(tmp_path):
    c = cr.Crypto(tmp_path / "k")
    bound = c.encrypt
    assert bound.__self__ is c and bound.__func__ is cr.Crypto.encrypt and cr.Crypto.__dict__["encrypt"] is bound.__func__
    assert str(inspect.signature(bound)) == "(plaintext: 'str') -> 'bytes'"
    assert c.decrypt(cr.Crypto.encrypt(c, "x")) == functools.partial(cr.Crypto.decrypt, c)(bound("x")) == "x"
    with pytest.raises(TypeError, match=r"^descriptor 'encrypt' for 'Crypto' objects doesn't apply to a 'str' object$"):
        cr.Crypto.encrypt("not a Crypto", "x")
    with pytest.raises(TypeError, match=r"^unbound method Crypto.encrypt\(\) needs an argument$"):
        cr.Crypto.encrypt()

    class Holder:  # a function kept on a class binds as a Python function does
        build = p.make_competitor_payload

    assert Holder.build is p.make_competitor_payload
    assert Holder().build.__self__.__class__ is Holder
    with pytest.raises(TypeError, match="input_data"):
        Holder().build()
