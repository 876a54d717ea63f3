#!/usr/bin/env bash
# Usage: scripts/test-freethreaded.sh [PYTEST-ARGS...]
# Builds the package on a free-threaded CPython (scripts/python-ft.sh makes
# one when it is missing) into .venv-3.13t and runs the whole test suite
# there with the GIL off (PYTHON_GIL=0; the modules must also leave it off
# on their own, which a test checks without that setting).
#
# cryptography has no wheel for that build and cffi refuses it, so the
# package is installed without it (scripts/venv.sh): the tests that need it
# are skipped, and the stand-in InvalidTag and the EVP path are what is
# tested there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
python=$(scripts/python-ft.sh)
venv=.venv-3.13t
scripts/venv.sh "$python" "$venv"
echo "== free-threaded Python $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])'): tests with the GIL off"
PYTHON_GIL=0 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
