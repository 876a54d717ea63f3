"""Time per call of the zentrik native modules on representative calls.

Usage: python bench/bench.py [--filter SUBSTR[,SUBSTR...]] [--repeat N] [--target-ms MS] [--list]
                             [--threads N[,N...]]

Each case is timed timeit style: a warm-up, then --repeat runs of a loop of N
calls (N chosen so one run lasts about --target-ms, the garbage collector off
while timing); the table shows the median and the best of the runs in ns per
call, and the harness's own cost per call (`meta.call_overhead`). Absolute
times drift on a shared machine: compare figures from one run only. Cases are
declared in bench/cases.py; add one there with `case(name, setup)`.

With --threads (say --threads 1,2), each case runs instead in N threads at
once, each on objects of its own (its own option maps, Crypto, resolver and
nodes, made by its own setup), for --repeat rounds of about --target-ms; the
table shows the calls per second of all threads together (median of the
rounds) for each N and the ratio to the first N. On a free-threaded build with
the GIL off this is how throughput scales with threads.

Run it with the allocator's default settings, as users run the modules.
"""

from __future__ import annotations

import argparse
import copy
import functools
import gc
import itertools
import os
import statistics
import sys
import threading
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


def own_objects(fn):
    """A case's callable on objects of its own: the arguments of a partial
    (option maps, payloads) copied, so that threads share nothing of theirs."""
    if isinstance(fn, functools.partial):
        return functools.partial(fn.func, *copy.deepcopy(fn.args), **copy.deepcopy(fn.keywords))
    return fn


def throughput(case, threads, rounds, target_ms):
    """Calls per second of `threads` threads running the case together, one
    figure per round (median taken by the caller)."""
    fns = [own_objects(case.setup()) for _ in range(threads)]
    for fn in fns:
        fn()
    loops = calibrate(fns[0], target_ms * 1e6)
    results = []
    for _ in range(rounds):
        barrier = threading.Barrier(threads + 1)

        def run(fn):
            barrier.wait()
            for _ in itertools.repeat(None, loops):
                fn()

        workers = [threading.Thread(target=run, args=(fn,)) for fn in fns]
        for w in workers:
            w.start()
        gc_was = gc.isenabled()
        gc.disable()
        try:
            barrier.wait()
            start = time.perf_counter_ns()
            for w in workers:
                w.join()
            elapsed = time.perf_counter_ns() - start
        finally:
            if gc_was:
                gc.enable()
        results.append(threads * loops / (elapsed / 1e9))
    return statistics.median(results)


def main_threads(selected, counts, rounds, target_ms):
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"threads {counts}, GIL {'on' if gil else 'off'}: calls per second of all threads together")
    print(f"{'case':40}" + "".join(f"{f'{n} thr':>14}" for n in counts) +
          "".join(f"{f'{n}/{counts[0]}':>8}" for n in counts[1:]))
    for c in selected:
        try:
            c.setup()
        except ImportError as exc:
            print(f"{c.name:40} skipped: {exc}")
            continue
        rates = [throughput(c, n, rounds, target_ms) for n in counts]
        print(f"{c.name:40}" + "".join(f"{r:14,.0f}" for r in rates) +
              "".join(f"{r / rates[0]:8.2f}" for r in rates[1:]))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--filter", default="", help="comma-separated substrings of case names")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--target-ms", type=float, default=20.0)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--threads", default="", help="comma-separated thread counts: throughput mode")
    args = parser.parse_args(argv)
    wanted = [w for w in args.filter.split(",") if w]
    selected = [c for c in cases.CASES if not wanted or any(w in c.name for w in wanted)]
    if args.list:
        for c in selected:
            print(f"{c.name:40} {c.doc}")
        return 0
    if args.threads:
        counts = [int(n) for n in args.threads.split(",") if n]
        return main_threads([c for c in selected if not c.name.startswith("meta.")], counts, args.repeat,
                            args.target_ms)
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
