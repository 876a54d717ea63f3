#!/usr/bin/env bash
# Usage: scripts/venv.sh PYTHON DIR
# Makes (or refreshes) a virtual environment in DIR for the interpreter PYTHON,
# installs the build and test tools there and builds the package into it.
#
# On a free-threaded PYTHON the development pins go in less what cannot be
# installed there: cryptography (no wheel for that build, and cffi refuses
# it) and mypy; hypothesis's newer releases carry a compiled part without a
# free-threaded wheel, so the newest one without it stands in.
set -euo pipefail
python=$1
venv=$2
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/system-deps.sh
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
# pip 23.1 or newer understands the build settings (-C) used below.
"${pip[@]}" install "pip==26.3"
if "$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
  requirements=$(mktemp)
  trap 'rm -f "$requirements"' EXIT
  { grep -v -E '^(cryptography|mypy|hypothesis)([=<>; ]|$)' requirements-dev.txt; echo "hypothesis==6.155.7"; } \
    >"$requirements"
  "${pip[@]}" install -r "$requirements"
else
  "${pip[@]}" install -r requirements-dev.txt
fi
# A build folder of its own per environment.
"${pip[@]}" install --no-build-isolation --no-deps -C build-dir="build/$(basename "$venv")" .
