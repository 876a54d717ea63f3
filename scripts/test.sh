#!/usr/bin/env bash
# Builds the package and runs the whole test suite on every interpreter that
# scripts/pythons.sh finds (every CPython 3.10+ under pyenv), each in a
# virtual environment of its own (.venv-X.Y), then checks the stubs against
# what was built there (scripts/stubtest.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
status=0
while read -r python; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=".venv-$version"
  echo "== Python $version: build"
  scripts/venv.sh "$python" "$venv"
  echo "== Python $version: tests"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@" || status=1
  echo "== Python $version: stubtest"
  scripts/stubtest.sh "$venv/bin/python" || status=1
done < <(scripts/pythons.sh)
exit $status
