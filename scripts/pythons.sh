#!/usr/bin/env bash
# Prints the interpreters to test on: the newest CPython 3.10 and 3.11 under
# pyenv; on a machine without them, the python3 on PATH when it is 3.10+.
set -euo pipefail
found=()
for minor in 3.10 3.11; do
  candidate=$(ls -d "$HOME"/.pyenv/versions/"$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$candidate" ] && [ -x "$candidate" ] && found+=("$candidate")
done
if [ ${#found[@]} -eq 0 ]; then
  for candidate in python3.11 python3.10 python3; do
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 10))' 2>/dev/null; then
      found+=("$(command -v "$candidate")")
      break
    fi
  done
fi
if [ ${#found[@]} -eq 0 ]; then
  echo "no Python 3.10 or newer found" >&2
  exit 1
fi
printf '%s\n' "${found[@]}"
