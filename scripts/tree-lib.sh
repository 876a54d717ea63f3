# Sourced by the scripts that make and enter Debian trees (test-unstable.sh,
# test-wheel.sh); $me names the script in messages.

# Anything mounted at or below DIR, from this process's view of the mounts.
mounted_below() {
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo
}

# Removes a tree, but never one that still has something mounted in it: a
# /proc or /dev left over from a run that was killed would otherwise be
# emptied along with it.
remove_tree() {
  [ -e "$1" ] || return 0
  if mounted_below "$1"; then
    echo "$me: $1 still has file systems mounted in it; unmount them (umount -R $1/...) first" >&2
    exit 1
  fi
  rm -rf --one-file-system "$1"
}
