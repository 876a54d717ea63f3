#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when they are missing.
set -euo pipefail
missing=()
dpkg -s libssl-dev >/dev/null 2>&1 || missing+=(libssl-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
