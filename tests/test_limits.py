"""The modules at the machine's limits: memory that runs out and calls that
nest until the stack ends. Each case runs in a child interpreter, since the
fault it guards against would take the test process down with it."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

SANITIZER = bool(os.environ.get("ZENTRIK_SANITIZER"))


def child(code: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.skipif(SANITIZER, reason="the sanitizer's runtime reserves more address space than any limit allows")
@pytest.mark.parametrize(("limit_mb", "setup", "call"), [
    (1100, "from zentrik.seller_sprite.api import payloads as m; arg = {'q': '/' * 200_000_000}",
     "m.build_referer(arg, 'competitor-lookup')"),
    (700, "from zentrik.seller_sprite.api import categories as m; arg = 'é' * 150_000_000",
     "m._normalize_category_text(arg)"),
])  # fmt: skip
def test_memory_running_out_raises_memory_error(limit_mb, setup, call):
    result = child(f"""
        import resource
        {setup}
        resource.setrlimit(resource.RLIMIT_AS, ({limit_mb} << 20, resource.RLIM_INFINITY))
        try:
            {call}
        except MemoryError:
            print("MemoryError")
    """)
    assert (result.returncode, result.stdout) == (0, "MemoryError\n"), result.stderr
