"""Shared helpers: hostile option values and a leak check.

Plain helpers (importable as ``from conftest import ...``) plus fixtures;
nothing here is specific to one module.
"""

from __future__ import annotations

import inspect
import os
import pathlib
import sys
from typing import Any, Callable

import pytest

from zentrik_native import standins

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Without the host tool installed, the categories module binds the stand-in's
# SellerSpriteConfigError: here, and in the child interpreters tests start.
if standins.ensure():
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), standins.PATH]))


def mypy_env() -> dict[str, str]:
    """The environment of a mypy run over the stub examples. mypy finds the
    installed stubs through their py.typed markers; it refuses a folder in
    site-packages on its path, so the stand-in comes from the sources."""
    return dict(os.environ, MYPYPATH=str(ROOT / "src" / "zentrik_native" / "standins"))

# cryptography has no wheel for a free-threaded 3.13 and cffi refuses that
# build: there the module raises its stand-in InvalidTag and encrypts every
# value with its own EVP contexts, and what compares with cryptography skips.
try:
    import cryptography  # noqa: F401
    HAVE_CRYPTOGRAPHY = True
except ImportError:
    HAVE_CRYPTOGRAPHY = False
needs_cryptography = pytest.mark.skipif(
    not HAVE_CRYPTOGRAPHY, reason="cryptography cannot be installed here (no wheel for this build; cffi refuses it)")

# A debug build of the interpreter (only it counts references in total): its
# C assertions are live, and one that fails aborts the whole run.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")

# Inserting a key that is not a str runs the __eq__ of a key of the same hash
# that the dict holds; when that __eq__ clears the dict and refills it with
# str keys, CPython goes on to put the new key into the refilled table, which
# takes only str keys (python/cpython#140551, not fixed in 3.11 or 3.12). The
# dict a test built so is corrupt before any module reads it: a release build
# misreads it quietly, a debug build aborts on the first lookup in it or walk
# over it, from Python (dict.get) as from C (PyDict_Next).
skip_corrupt_dict_on_debug_build = pytest.mark.skipif(
    DEBUG_BUILD,
    reason="the debug build of CPython aborts on the option dict this test builds (Objects/dictobject.c: "
    "Assertion `PyUnicode_CheckExact(...)' failed): the colliding key's __eq__, run while the test inserted it, "
    "refilled the dict, which left it in a table for str keys only (python/cpython#140551); a pure-Python "
    "dict.get on it aborts the same way",
)


class Boom(Exception):
    """The exception hostile objects raise; nothing else raises it."""


class Hostile:
    """A value whose chosen protocol methods raise Boom.

    ``Hostile("str", "bool", "eq", "int")`` raises from ``__str__``,
    ``__bool__``, ``__eq__`` (and ``__hash__`` stays usable) or ``__index__``/``__int__``.
    """

    def __init__(self, *fails: str) -> None:
        self.fails = set(fails)

    def __str__(self) -> str:
        if "str" in self.fails:
            raise Boom("__str__")
        return "hostile"

    def __bool__(self) -> bool:
        if "bool" in self.fails:
            raise Boom("__bool__")
        return True

    def __eq__(self, other: object) -> bool:
        if "eq" in self.fails:
            raise Boom("__eq__")
        return self is other

    def __hash__(self) -> int:
        return id(self) >> 4

    def __int__(self) -> int:
        if "int" in self.fails:
            raise Boom("__int__")
        return 7

    def __repr__(self) -> str:
        return f"Hostile{tuple(sorted(self.fails))}"


class CollidingKey:
    """A dict key whose hash equals that of `name`, so that looking `name`
    up in a dict holding it calls this key's ``__eq__`` (which raises Boom,
    or runs `on_eq` and answers False)."""

    def __init__(self, name: str, on_eq: Callable[[], None] | None = None) -> None:
        self.name = name
        self.on_eq = on_eq

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        if self.on_eq is None:
            raise Boom("__eq__")
        self.on_eq()
        return False

    def __repr__(self) -> str:
        return f"CollidingKey({self.name!r})"


class StrSub(str):
    """A str subclass with methods that lie: a module that calls them instead
    of the interpreter's own str operations gives itself away."""

    def upper(self) -> str:  # type: ignore[override]
        return "SUBCLASS-UPPER"

    def lower(self) -> str:  # type: ignore[override]
        return "yes"

    def strip(self, chars: str | None = None) -> str:  # type: ignore[override]
        return "SUBCLASS-STRIP"

    def split(self, *args: Any, **kwargs: Any) -> list[str]:  # type: ignore[override]
        return ["SUBCLASS-SPLIT"]

    def replace(self, *args: Any, **kwargs: Any) -> str:  # type: ignore[override]
        return "SUBCLASS-REPLACE"

    def __str__(self) -> str:
        return self


class ShowsAs:
    """A value whose ``__str__`` returns a given object (a StrSub, say)."""

    def __init__(self, text: Any) -> None:
        self.text = text

    def __str__(self) -> Any:
        return self.text

    def __repr__(self) -> str:
        return f"ShowsAs({self.text!r})"


class Mutator:
    """A truthy value whose ``__str__`` and ``__bool__`` rebuild `target`:
    clear it and fill it with enough fresh keys to force a resize, so that
    any pointer borrowed from the old table would dangle."""

    def __init__(self, target: dict[Any, Any] | list[Any], text: str = "mutated") -> None:
        self.target = target
        self.text = text
        self.calls = 0

    def _mutate(self) -> None:
        self.calls += 1
        t = self.target
        t.clear()
        if isinstance(t, dict):
            for i in range(64):
                t[f"junk{i}"] = [i] * 3
        else:
            t.extend([[i] * 3 for i in range(64)])

    def __str__(self) -> str:
        self._mutate()
        return self.text

    def __bool__(self) -> bool:
        self._mutate()
        return True


def call_quietly(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """Call fn and return its result, or the exception it raised."""
    try:
        return fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the caller inspects it
        return exc


def first_truthy(options: dict, *names: str) -> Any:
    """The fallback chain over option names, as the builders' definitions read it:
    the first truthy value, else the last one read (None when absent)."""
    value = None
    for name in names:
        value = options.get(name)
        if value:
            break
    return value


def call_error(function: Callable[..., Any], args: tuple, kwargs: dict) -> str | None:
    """The message of the TypeError a call raises, or None when it raises none."""
    try:
        function(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    return None


def python_twin(name: str, signature: str) -> Callable[..., None]:
    """A Python function of that name and signature, whose argument errors are
    the interpreter's own wording."""
    namespace: dict[str, Any] = {}
    exec(f"def {name}{signature}: pass", namespace)
    return namespace[name]  # type: ignore[no-any-return]


def bare_signature(obj: Any) -> str:
    """The signature of a callable as text, its annotations left out."""
    sig = inspect.signature(obj)
    bare = [q.replace(annotation=q.empty) for q in sig.parameters.values()]
    return str(sig.replace(parameters=bare, return_annotation=sig.empty))
