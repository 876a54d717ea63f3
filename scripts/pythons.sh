#!/usr/bin/env bash
# Prints the interpreters to test on, oldest first: the newest patch release
# of every CPython 3.10 or later that pyenv has (plain X.Y.Z builds only, not
# free-threaded or -dev ones); on a machine without any, the python3 on PATH
# when it is 3.10+ (else the newest python3.X on PATH that is).
set -euo pipefail
found=()
declare -A newest=()
for dir in "$HOME"/.pyenv/versions/*; do
  name=${dir##*/}
  [[ $name =~ ^3\.([0-9]+)\.([0-9]+)$ ]] || continue
  [ "${BASH_REMATCH[1]}" -ge 10 ] && [ -x "$dir/bin/python3" ] || continue
  minor=3.${BASH_REMATCH[1]}
  best=${newest[$minor]:-}
  if [ -z "$best" ] || [ "$(printf '%s\n' "$best" "$name" | sort -V | tail -n 1)" = "$name" ]; then
    newest[$minor]=$name
  fi
done
for minor in $(printf '%s\n' "${!newest[@]}" | sort -V); do
  found+=("$HOME/.pyenv/versions/${newest[$minor]}/bin/python3")
done
if [ ${#found[@]} -eq 0 ]; then
  for candidate in python3 python3.15 python3.14 python3.13 python3.12 python3.11 python3.10; do
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
