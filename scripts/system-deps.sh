#!/usr/bin/env bash
# Usage: scripts/system-deps.sh [PACKAGE...]
# Installs the Debian packages the build needs (and any named ones), only
# when they are missing.
set -euo pipefail
installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}
missing=()
installed libssl-dev || missing+=(libssl-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
for package in "$@"; do
  installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
