#!/usr/bin/env bash
# Usage: scripts/test-wheel.sh WHEEL [DEPENDENCY-WHEEL-DIR]
# Installs a repaired wheel where a user would: in a fresh minimal Debian
# tree (mmdebstrap, variant apt: no compiler, no headers) with only the
# interpreter's venv package and ca-certificates, and libssl purged, so that
# the libcrypto the wheel carries is the only one there. In a virtual
# environment there, the wheel is installed with --no-index beside
# cryptography (wheels from PyPI, downloaded here into DEPENDENCY-WHEEL-DIR
# unless it is given), then the demonstration runs, a credential goes
# through encrypt and decrypt on the command line, and a tampered value
# fails with InvalidTag. Run as root.
#
# The tree for each Python is made once (about a minute) in
# .chroot-wheel-<suite>/ of the checkout, or under $ZENTRIK_WHEEL_ROOT, and
# reused; each run makes a new virtual environment in it. The Debian suite
# follows the wheel's Python: 3.11 bookworm, 3.13 trixie, 3.14 and 3.15
# unstable. A Python that no Debian suite has (3.10, 3.12, a free-threaded
# build) is copied into the bookworm tree from this machine: the interpreter
# of `scripts/pythons.sh` of that version, or $ZENTRIK_WHEEL_PYTHON (its
# installation prefix is copied whole, to the same path).
#
# Exit status 0 when every check passed; 1 when one failed; and, with one
# line on stderr, 0 when the tree cannot be made (the archive unreachable).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
me=$(basename "$0")
wheel=$(realpath "$1")
deps=${2:-}

if [ "$(id -u)" != 0 ]; then
  echo "$me: needs root (mmdebstrap and chroot)" >&2
  exit 1
fi
name=$(basename "$wheel")
# zentrik_native-0.1.0-cp311-cp311-manylinux_2_34_x86_64.whl -> 3.11 (3.13t for cp313t)
abi=$(echo "$name" | cut -d- -f4)
[[ $abi =~ ^cp3([0-9]+)(t?)$ ]] || { echo "$me: $name: not a CPython wheel" >&2; exit 1; }
version=3.${BASH_REMATCH[1]}
threading=${BASH_REMATCH[2]}

copied=""  # the prefix of an interpreter of this machine to copy in
case "$version$threading" in
  3.11) suite=bookworm ;;
  3.13) suite=trixie ;;
  3.14|3.15) suite=unstable ;;
  *)
    suite=bookworm
    python=${ZENTRIK_WHEEL_PYTHON:-}
    if [ -z "$python" ]; then
      while read -r candidate; do
        [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$version" ] && python=$candidate
      done < <("$here/scripts/pythons.sh")
    fi
    [ -n "$python" ] || { echo "$me: no Python $version$threading here to test $name with" >&2; exit 1; }
    copied=$("$python" -c 'import sys; print(sys.base_prefix)')
    ;;
esac
if [ -n "$copied" ]; then
  packages=ca-certificates
  python_in_tree=$copied/bin/python$version$threading
else
  packages=ca-certificates,python$version-venv
  python_in_tree=/usr/bin/python$version
fi

root=${ZENTRIK_WHEEL_ROOT:-$here}/.chroot-wheel-$suite
root=$(realpath -m "$root")
log=$root.log
stamp=$root/.zentrik-tree

skip() {
  echo "$me: skipped, $name not tested: $*" >&2
  exit 0
}

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

# mounted_below, remove_tree
source "$here/scripts/tree-lib.sh"

# A tree holds the packages of every wheel tested in it so far; a wheel that
# needs one more makes it anew with all of them.
wanted=$( { [ -f "$stamp" ] && tr ',' '\n' <"$stamp"; echo "$packages" | tr ',' '\n'; } | sort -u | paste -sd,)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
  if ! command -v mmdebstrap >/dev/null 2>&1; then
    if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mmdebstrap; } >"$log" 2>&1; then
      skip "mmdebstrap is missing and apt could not install it (log in $log)"
    fi
  fi
  echo "== making a minimal Debian $suite tree in $root ($wanted; log in $log)"
  remove_tree "$root"
  remove_tree "$root.new"
  mirror=()
  [ -n "${ZENTRIK_UNSTABLE_MIRROR:-}" ] && [ "$suite" = unstable ] && mirror=("$ZENTRIK_UNSTABLE_MIRROR")
  if ! mmdebstrap --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' --include="$wanted" \
         "$suite" "$root.new" "${mirror[@]}" >"$log" 2>&1; then
    reason=$(grep -m1 '^E:' "$log" || true)
    remove_tree "$root.new"
    skip "the Debian $suite tree could not be made (${reason:-mmdebstrap failed}; log in $log)"
  fi
  # libssl is purged (what depends on it stays): the wheel's own libcrypto must be the one loaded.
  chroot "$root.new" sh -c 'dpkg-query -W -f="\${Package}\n" "libssl*" | xargs -r dpkg --purge --force-depends' \
    >>"$log" 2>&1
  echo "$wanted" >"$root.new/.zentrik-tree"
  mv "$root.new" "$root"
fi

made_deps=""
cleanup() {
  if mountpoint -q "$root/proc"; then umount "$root/proc" || umount -l "$root/proc"; fi
  [ -z "$made_deps" ] || rm -rf "$made_deps"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# cryptography and what it needs, as wheels from PyPI for the tree's Python.
if [ -z "$deps" ]; then
  deps=$(mktemp -d "${TMPDIR:-/tmp}/zentrik-wheel-deps.XXXXXX")
  made_deps=$deps
fi
if [ -z "$threading" ]; then
  # The platforms that the tree's glibc (2.36 or newer) runs.
  platforms=()
  for tag in manylinux_2_34 manylinux_2_28 manylinux_2_17 manylinux2014; do platforms+=(--platform "${tag}_x86_64"); done
  "$("$here/scripts/pythons.sh" | tail -n 1)" -m pip download -q --disable-pip-version-check --only-binary=:all: --python-version "$version" \
    --implementation cp "${platforms[@]}" -d "$deps" cryptography \
    typing-extensions  # pip evaluates python_full_version markers for itself, not for --python-version
fi

if [ -n "$copied" ] && [ ! -x "$root$python_in_tree" ]; then
  mkdir -p "$root$copied"
  cp -a "$copied/." "$root$copied/"
  rm -rf "$root$copied/include"  # a user of the wheel need not have the headers
fi
rm -rf "$root/opt/wheels" "$root/root/venv" "$root/root/check"
mkdir -p "$root/opt/wheels"
cp "$wheel" "$root/opt/wheels/"
find "$deps" -maxdepth 1 -name '*.whl' -exec cp {} "$root/opt/wheels/" \;
mount -t proc proc "$root/proc"

echo "== $name in a minimal Debian $suite tree"
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  PIP_DISABLE_PIP_VERSION_CHECK=1 /bin/bash -euo pipefail -c '
  python=$1 threading=$2
  # What a user of the wheel does not have here.
  for tool in gcc g++ cc; do ! command -v $tool >/dev/null || { echo "a compiler is in the tree: $tool"; exit 1; }; done
  for found in /usr/include/python3* /usr/lib/*/libcrypto.so* /usr/lib/*/libssl.so*; do
    [ ! -e "$found" ] || { echo "$found is in the tree"; exit 1; }
  done
  "$python" -m venv /root/venv
  pip=(/root/venv/bin/python -m pip install -q --no-index --find-links /opt/wheels)
  if [ -n "$threading" ]; then  # no cryptography for a free-threaded Python
    "${pip[@]}" --no-deps zentrik-native
  else
    "${pip[@]}" zentrik-native cryptography
  fi
  cd /tmp
  /root/venv/bin/python -m zentrik_native.demo >/dev/null
  front=(/root/venv/bin/zentrik-sellersprite)
  key=/root/check/credential.key
  value=$(printf "s3cret" | "${front[@]}" encrypt --key-file "$key")
  [ "$(printf "%s" "$value" | "${front[@]}" decrypt --key-file "$key")" = s3cret ]
  /root/venv/bin/python - "$key" <<EOF
import base64
import sys
from zentrik.auth.storage import crypto
try:
    from cryptography.exceptions import InvalidTag
except ImportError:
    InvalidTag = crypto.InvalidTag
box = crypto.Crypto(sys.argv[1])
value = bytearray(box.encrypt("s3cret"))
value[-1] ^= 1
try:
    box.decrypt(bytes(value))
except InvalidTag:
    pass
else:
    sys.exit("a tampered value decrypted")
with open("/root/check/tampered", "w") as out:
    out.write(base64.b64encode(value).decode())
# The libcrypto loaded is the one the wheel carries.
maps = open("/proc/self/maps").read()
assert "zentrik_native.libs/libcrypto" in maps, "the wheel did not bring its libcrypto"
EOF
  ! "${front[@]}" decrypt --key-file "$key" </root/check/tampered 2>/root/check/err
  grep -q "密钥不匹配" /root/check/err
' check "$python_in_tree" "$threading"
echo "== $name: installed, demonstrated and round-tripped"
