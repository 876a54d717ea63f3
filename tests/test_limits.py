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


BUILDERS = ["make_competitor_payload", "make_keyword_miner_payload", "make_keyword_reverse_payload",
            "make_traffic_source_payload", "make_product_research_payload", "make_market_research_payload"]


@pytest.mark.skipif(SANITIZER, reason="the sanitizer's frames are several times larger")
@pytest.mark.parametrize("where", ["thread with a 1 MiB stack", "recursion limit 5000"])
def test_builders_nesting_through_python_end_in_recursion_error(where):
    # An option whose truth value builds a payload from an option map that
    # holds it again: each level is a builder and a Python frame.
    result = child(f"""
        import sys, threading
        from zentrik.seller_sprite.api import payloads as p

        class Again:
            def __init__(self, build):
                self.build = build
            def __bool__(self):
                self.build({{"market": self, "marketId": None}})
                return True

        outcome = []
        def run():
            for name in {BUILDERS!r}:
                try:
                    getattr(p, name)({{"market": Again(getattr(p, name))}})
                except RecursionError:
                    outcome.append(name)
        if {where.startswith("thread")!r}:
            threading.stack_size(1 << 20)
            thread = threading.Thread(target=run)
            thread.start()
            thread.join()
        else:
            sys.setrecursionlimit(5000)
            run()
        print(" ".join(outcome))
    """)
    assert (result.returncode, result.stdout.split()) == (0, BUILDERS), result.stderr[-2000:]
