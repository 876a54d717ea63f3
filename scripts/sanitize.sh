#!/usr/bin/env bash
# Usage: scripts/sanitize.sh [PYTEST-ARGS...]
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# (asserts on) into .venv-asan-X.Y for the newest interpreter that
# scripts/pythons.sh finds, then runs the test suite under them. Fails on a
# failing test and on any sanitizer report, including one from a child
# process whose exit status a test did not look at.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
python=$(scripts/pythons.sh | tail -n 1)
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=".venv-asan-$version"

echo "== Python $version: sanitizer build"
# Unstripped, so that the reports name functions, files and lines.
ZENTRIK_SANITIZE=ON SKBUILD_INSTALL_STRIP=false scripts/venv.sh "$python" "$venv"

# The interpreter itself is not instrumented, so the sanitizer runtimes have
# to be loaded before anything else. g++ echoes the bare name when it has no
# such library; a preload that silently fails would make the gate pass.
runtimes=()
for lib in libasan.so libubsan.so; do
  path=$(g++ -print-file-name="$lib")
  if [ "${path#/}" = "$path" ] || [ ! -e "$path" ]; then
    echo "sanitize.sh: g++ has no $lib (install the compiler's sanitizer runtimes)" >&2
    exit 1
  fi
  runtimes+=("$(readlink -f "$path")")
done

logs=$(mktemp -d "${TMPDIR:-/tmp}/zentrik-sanitize.XXXXXX")
trap 'rm -rf "$logs"' EXIT

echo "== Python $version: tests under ASan/UBSan"
status=0
# detect_leaks=0: the interpreter keeps objects alive until exit on purpose;
#   the leak gate of the test suite watches the extensions' own allocations.
# allocator_may_return_null=1: tests that ask for huge sizes expect MemoryError.
# PYTHONMALLOC=malloc: the interpreter's small objects go through ASan's
#   allocator too, so overruns into them are seen.
# log_path: ASan writes its reports to files here as well, so a report from
#   a child process whose exit status a test ignored still fails the gate.
#   UBSan, when it shares the process with ASan, ignores log_path and writes
#   to stderr; it aborts instead, which a test that checks a child's status
#   notices.
# PYTHONFAULTHANDLER=1: an abort prints the Python stack, naming the test.
# ZENTRIK_SANITIZER=1: tells the suite to run fewer property examples.
# --capture=sys: pytest captures sys.stdout/stderr only, so a report written
#   to file descriptor 2 by a dying process reaches the terminal instead of a
#   capture file that nobody reads.
env LD_PRELOAD="${runtimes[*]}" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$logs/asan" \
    UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" \
    PYTHONMALLOC=malloc \
    PYTHONFAULTHANDLER=1 \
    ZENTRIK_SANITIZER=1 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests "$@" || status=$?

if compgen -G "$logs/*" >/dev/null; then
  echo "== sanitizer reports:" >&2
  for report in "$logs"/*; do
    echo "-- $(basename "$report")" >&2
    cat "$report" >&2
  done
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "== tests failed under the sanitizers (status $status)" >&2
fi
exit "$status"
