#!/usr/bin/env bash
# Usage: scripts/venv.sh PYTHON DIR
# Makes (or refreshes) a virtual environment in DIR for the interpreter PYTHON,
# installs the build and test tools there and builds the package into it.
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
"${pip[@]}" install -r requirements-dev.txt
# A build folder of its own per environment.
"${pip[@]}" install --no-build-isolation --no-deps -C build-dir="build/$(basename "$venv")" .
