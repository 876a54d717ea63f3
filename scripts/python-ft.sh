#!/usr/bin/env bash
# Usage: scripts/python-ft.sh
# Prints the path of a free-threaded CPython 3.13 (configured --disable-gil),
# building it first when it is missing: no Debian or PyPI package ships one.
# The source is Debian trixie's python3.13 source package, fetched with a
# private apt configuration (nothing of the system's is changed); the build
# is installed into $ZENTRIK_FT_PREFIX (default ~/.cache/zentrik/python3.13t),
# outside the checkout, and reused while it is there. About 2-5 minutes on
# two cores. Build output goes to $ZENTRIK_FT_PREFIX.log.
# $ZENTRIK_FT_CONFIGURE adds options of configure (scripts/tsan.sh passes
# --with-thread-sanitizer); CPython's own sanitizer suppression files are
# kept in $ZENTRIK_FT_PREFIX/tsan/.
set -euo pipefail
prefix=${ZENTRIK_FT_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/zentrik/python3.13t}
python=$prefix/bin/python3.13t
if [ -x "$python" ] && "$python" -c 'import sys, ssl, ctypes; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
  echo "$python"
  exit 0
fi
here=$(cd "$(dirname "$0")/.." && pwd)
log=$prefix.log
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
echo "== building a free-threaded CPython 3.13 into $prefix (log in $log)" >&2
# What the interpreter's build needs so that pip (ssl), ctypes and the test
# suite's modules work.
"$here/scripts/system-deps.sh" make pkg-config zlib1g-dev libffi-dev libbz2-dev \
  liblzma-dev libsqlite3-dev libreadline-dev uuid-dev xz-utils >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
apt=$work/apt
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
echo 'deb-src http://deb.debian.org/debian trixie main' >"$apt/sources.list"
opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
      -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -q)
{
  apt-get "${opts[@]}" update
  cd "$work"
  apt-get "${opts[@]}" source --download-only python3.13
  tar -xf python3.13_*.orig.tar.xz
  cd Python-3.13.*/
  # shellcheck disable=SC2086
  ./configure --disable-gil --without-ensurepip --prefix="$prefix" ${ZENTRIK_FT_CONFIGURE:-}
  make -j"$(nproc)"
  make install
  mkdir -p "$prefix/tsan"
  cp Tools/tsan/*.txt "$prefix/tsan/"
} >"$log" 2>&1 || { echo "python-ft.sh: the build failed; see $log" >&2; exit 1; }
"$python" -c 'import sys, ssl, ctypes; assert not sys._is_gil_enabled()' >&2
echo "$python"
