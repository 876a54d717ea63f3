"""The modules in isolated sub-interpreters, each with a GIL of its own."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
from conftest import needs_cryptography

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated interpreters arrived in 3.12")

# What each interpreter does: every module imported and at work. (No asyncio:
# CPython 3.12.1 itself crashes at exit after importing it in isolated
# interpreters.)
WORK = """
import os, tempfile, typing
from zentrik.seller_sprite.api import categories, payloads
from zentrik.auth.storage import crypto

assert payloads.make_competitor_payload({"asins": "A,B"})["asins"] == ["A", "B"]
assert typing.get_type_hints(payloads.csv)["return"] == list[str]

class Client:
    async def category_nodes(self, **kwargs):
        return {"items": [{"id": "7", "nodeLabel": "Toys", "nodeLabelPath": "Toys"}]}

coro = categories.SellerSpriteCategoryResolver(Client()).resolve_params(
    {"node": "Toys"}, scenario="product-research", site="US", period="2026-03")
try:
    coro.send(None)
except StopIteration as stop:
    assert stop.value == {"node": ["7"]}

folder = tempfile.mkdtemp()
cipher = crypto.Crypto(os.path.join(folder, "key"))
assert cipher.decrypt(cipher.encrypt("秘密")) == "秘密"
assert cipher.decrypt(cipher.encrypt("x" * 70_000)) == "x" * 70_000  # without cryptography's kernel
try:
    cipher.decrypt(bytes(40))
except crypto.InvalidTag as exc:
    failure = type(exc)
"""
# The same imports of the standard library, none of ours: what an
# interpreter costs by itself.
BASELINE = "import os, tempfile, typing, pathlib, re"

DRIVER = """
import ctypes, sys
try:
    import _interpreters as interpreters

    def run(code):
        interp = interpreters.create()
        failed = interpreters.run_string(interp, code)
        interpreters.destroy(interp)
        assert failed is None, failed
except ImportError:  # 3.12
    import _xxsubinterpreters as interpreters

    def run(code):
        interp = interpreters.create(isolated=True)
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]

libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2

def heap():
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd

def growth(code, n):
    for _ in range(5):
        run(code)
    before = heap()
    for _ in range(n):
        run(code)
    return (heap() - before) / n

if len(sys.argv) == 2:
    run(sys.argv[1])
else:
    print(growth(sys.argv[1], 45) - growth(sys.argv[2], 45))
"""


def test_fifty_isolated_interpreters_in_a_row():
    # The interpreter itself keeps a few hundred kilobytes of each one that is
    # gone; a module instance that were never freed would add its state (tens
    # of kilobytes) on top of that, every time.
    result = subprocess.run([sys.executable, "-c", DRIVER, textwrap.dedent(WORK), BASELINE], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert float(result.stdout) < 4096, result.stdout


@needs_cryptography
def test_the_authentication_failure_where_cryptography_cannot_be_imported():
    # cryptography refuses isolated interpreters: there the module raises a
    # stand-in of its own, and cryptography's own class everywhere else.
    code = WORK + "\nassert failure is crypto.InvalidTag and failure.__module__ == 'zentrik.auth.storage.crypto'\n"
    result = subprocess.run([sys.executable, "-c", DRIVER, code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    from cryptography.exceptions import InvalidTag

    from zentrik.auth.storage import crypto

    assert crypto.InvalidTag is InvalidTag
