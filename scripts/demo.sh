#!/usr/bin/env bash
# Builds the package (newest interpreter that scripts/pythons.sh finds) and
# runs the demonstration: every scenario's payload and referer from sample
# options, category text resolved offline, a credential encrypted and back.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
python=$(scripts/pythons.sh | tail -n 1)
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
scripts/venv.sh "$python" ".venv-$version" >&2
exec ".venv-$version/bin/python" -m zentrik_native.demo "$@"
