#!/usr/bin/env bash
# Usage: scripts/stubtest.sh PYTHON
# Checks the hand-written stubs against the extension modules installed for
# PYTHON (an environment made by scripts/venv.sh) with mypy's stubtest; any
# difference it reports fails the run.
set -euo pipefail
python=$1
# Absolute (not resolved: a virtual environment's python is a link), as the
# check runs from another folder.
case $python in
  */*) python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")" ;;
esac
here=$(cd "$(dirname "$0")/.." && pwd)
modules=(zentrik.seller_sprite.api.payloads zentrik.seller_sprite.api.categories zentrik.auth.storage.crypto)
# From a folder of its own, so that neither the sources nor mypy's cache in
# the working folder stand in for what is installed.
work=$(mktemp -d "${TMPDIR:-/tmp}/zentrik-stubtest.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# Without the host tool, the categories module and its stub import the
# stand-in of the host's exceptions module (mypy takes no folder inside
# site-packages on its path, so both read the sources' copy).
if [ "$("$python" -c 'from zentrik_native import standins; print(int(standins.ensure()))')" = 1 ]; then
  export PYTHONPATH="$here/src/zentrik_native/standins${PYTHONPATH:+:$PYTHONPATH}"
  export MYPYPATH="$here/src/zentrik_native/standins${MYPYPATH:+:$MYPYPATH}"
fi
"$python" -m mypy.stubtest "${modules[@]}"
