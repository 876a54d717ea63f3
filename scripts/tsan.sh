#!/usr/bin/env bash
# Usage: scripts/tsan.sh [PYTEST-ARGS...]
# Runs the thread tests (tests/test_shared_state.py, or what the arguments
# name) with the GIL off under ThreadSanitizer: a free-threaded CPython 3.13
# configured --with-thread-sanitizer (built by scripts/python-ft.sh into
# ~/.cache/zentrik/python3.13t-tsan, or $ZENTRIK_TSAN_PREFIX, when missing)
# and the extensions built with -fsanitize=thread into .venv-tsan-3.13t.
# CPython's own suppression file for its free-threading build is applied;
# any other report fails the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
prefix=${ZENTRIK_TSAN_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/zentrik/python3.13t-tsan}
python=$(ZENTRIK_FT_PREFIX=$prefix ZENTRIK_FT_CONFIGURE=--with-thread-sanitizer scripts/python-ft.sh)
venv=.venv-tsan-3.13t
ZENTRIK_SANITIZE=thread scripts/venv.sh "$python" "$venv"
[ $# -gt 0 ] || set -- tests/test_shared_state.py
export TSAN_OPTIONS="suppressions=$prefix/tsan/suppressions_free_threading.txt halt_on_error=1 exitcode=66 second_deadlock_stack=1"
echo "== ThreadSanitizer: $*"
PYTHON_GIL=0 "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
