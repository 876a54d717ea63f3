"""Time per call of the zentrik native modules on representative calls.

Usage: python bench/bench.py [--filter SUBSTR[,SUBSTR...]] [--repeat N] [--target-ms MS] [--list]

Each case is timed timeit style: a warm-up, then --repeat runs of a loop of N
calls (N chosen so one run lasts about --target-ms, the garbage collector off
while timing); the table shows the median and the best of the runs in ns per
call, and the harness's own cost per call (`meta.call_overhead`). Absolute
times drift on a shared machine: compare figures from one run only. Cases are
declared in bench/cases.py; add one there with `case(name, setup)`.

Run it with the allocator's default settings, as users run the modules.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402


def timed(fn, loops):
    it = itertools.repeat(None, loops)
    gc_was = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for _ in it:
            fn()
        return (time.perf_counter_ns() - start) / loops
    finally:
        if gc_was:
            gc.enable()


def calibrate(fn, target_ns):
    loops = 1
    while True:
        per_call = timed(fn, loops)
        if per_call * loops >= target_ns / 4 or loops >= 1 << 24:
            return max(1, int(target_ns / max(per_call, 1.0)))
        loops *= 4


def measure(fn, repeat, target_ms):
    fn()  # warm-up: first-call effects (caches, lazy setup)
    loops = calibrate(fn, target_ms * 1e6)
    runs = [timed(fn, loops) for _ in range(repeat)]
    return statistics.median(runs), min(runs)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--filter", default="", help="comma-separated substrings of case names")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--target-ms", type=float, default=20.0)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args(argv)
    wanted = [w for w in args.filter.split(",") if w]
    selected = [c for c in cases.CASES if not wanted or any(w in c.name for w in wanted)]
    if args.list:
        for c in selected:
            print(f"{c.name:40} {c.doc}")
        return 0
    print(f"{'case':40} {'median ns':>12} {'best ns':>12}")
    for c in selected:
        try:
            fn = c.setup()
        except ImportError as exc:
            print(f"{c.name:40} {'skipped: ' + str(exc):>25}")
            continue
        median, best = measure(fn, args.repeat, args.target_ms)
        print(f"{c.name:40} {median:12,.0f} {best:12,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
