"""Whole-process start-up of the command line and of each module's import,
against a bare interpreter start.

Usage: python bench/startup.py [--runs N]

Runs each command N times as a fresh process (this interpreter, its own
site-packages, the allocator's default settings), interleaved so that load
on the machine falls on all of them alike, and prints the median wall time
of each and its ratio to `python -c pass`. Quote figures from one run only.
PYTHONDONTWRITEBYTECODE and PYTHONUNBUFFERED are dropped from the children's
environment: users run with bytecode cached and stdout buffered.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

COMMANDS = {
    "bare start (-c pass)": ["-c", "pass"],
    "payload competitor-lookup": ["-m", "zentrik_native", "payload", "competitor-lookup", "market=us",
                                  "asins=B07YRMT36L"],
    "import payloads": ["-c", "import zentrik.seller_sprite.api.payloads"],
    "import categories": ["-c", "import zentrik_native.standins as s; s.ensure(); "
                                "import zentrik.seller_sprite.api.categories"],
    "import crypto": ["-c", "import zentrik.auth.storage.crypto"],
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=40)
    args = parser.parse_args()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONDONTWRITEBYTECODE", "PYTHONUNBUFFERED")}
    times: dict[str, list[float]] = {name: [] for name in COMMANDS}
    for _ in range(args.runs):
        for name, argv in COMMANDS.items():
            start = time.perf_counter()
            subprocess.run([sys.executable, *argv], check=True, stdout=subprocess.DEVNULL, env=env)
            times[name].append(time.perf_counter() - start)
    bare = statistics.median(times["bare start (-c pass)"])
    print(f"{'command':32} {'median ms':>10} {'x bare':>7}")
    for name, spent in times.items():
        median = statistics.median(spent)
        print(f"{name:32} {median * 1e3:10.1f} {median / bare:7.2f}")


if __name__ == "__main__":
    main()
