#!/usr/bin/env bash
# Usage: scripts/debug.sh [PYTEST-ARGS...]
# Builds the extensions against Debian's debug build of CPython 3.11
# (python3.11-dbg: every reference counted, the C API's assertions live) into
# .venv-dbg-3.11, then runs the test suite under it. The leak gate then also
# checks that sys.gettotalrefcount() stays flat. Fails on a failing test and
# on an interpreter assertion, which aborts the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
venv=".venv-dbg-3.11"

# python3.11-dbg brings the debug interpreter and its libpython; the headers
# it builds against (/usr/include/python3.11d) are links into libpython3.11-dev's,
# and its venv needs ensurepip, which Debian ships in python3.11-venv.
scripts/system-deps.sh python3.11-dbg libpython3.11-dev python3.11-venv

echo "== Python 3.11 (debug build): build"
# The extensions are built for debug too, or the interpreter's checks would
# stop at the C boundary:
# - Debug: without NDEBUG, the assertions in the C API's inline functions and
#   macros (casts, tuple and list item access) check the extensions' calls.
# - CMAKE_NO_SYSTEM_FROM_IMPORTED: the headers by -I, not -isystem. The
#   debug headers in /usr/include/python3.11d are links to the release ones,
#   and g++ resolves the links of a system header, so Python.h's
#   "pyconfig.h" would be the release one: no Py_DEBUG, and every
#   Py_INCREF/Py_DECREF of the extensions missing from sys.gettotalrefcount().
# The pip run itself is kept quiet about the ResourceWarnings that a debug
# interpreter shows by default.
PYTHONWARNINGS=ignore::ResourceWarning SKBUILD_CMAKE_BUILD_TYPE=Debug \
  SKBUILD_CMAKE_DEFINE="CMAKE_NO_SYSTEM_FROM_IMPORTED=ON" \
  scripts/venv.sh python3.11-dbg "$venv"

# Built with Py_DEBUG, the modules count their references into the
# interpreter's total (and check for negative counts).
modules=$(find "$venv"/lib/python3.11/site-packages/zentrik_native -name '*.cpython-311d-*.so')
[ "$(echo "$modules" | grep -c .)" -eq 3 ] || { echo "debug.sh: not three debug-ABI modules: $modules" >&2; exit 1; }
for so in $modules; do
  symbols=$(nm -D --undefined-only "$so")  # not piped into grep -q: pipefail
  if ! grep -qw _Py_RefTotal <<<"$symbols"; then
    echo "debug.sh: $so was built without Py_DEBUG" >&2
    exit 1
  fi
done

echo "== Python 3.11 (debug build): tests"
# PYTHONFAULTHANDLER=1: an assertion aborts the process; this prints the
#   Python stack, naming the test.
# --capture=sys: the assertion's message, written to file descriptor 2 by a
#   dying process, reaches the terminal instead of a capture file.
status=0
PYTHONFAULTHANDLER=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests "$@" || status=$?
if [ "$status" -ne 0 ]; then
  echo "== tests failed under the debug interpreter (status $status)" >&2
fi
exit "$status"
