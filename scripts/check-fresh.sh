#!/usr/bin/env bash
# Runs the README's test command on a fresh Debian 12 made with debootstrap, in a chroot, the ways a new user
# does: as root in /root/project; as an ordinary user in their home without sudo, after root ran
# `su -c 'bash scripts/deps.sh'`; and as that user with sudo allowed, after a package and Debian's source lists
# were removed, so that both are asked for through sudo. Each checkout is a git clone of this one's HEAD, with
# the corpus copied beside it. Needs root and debootstrap; takes long (a base system, every package, two full
# builds), so it is never part of the test suite.
#
#   sudo bash scripts/check-fresh.sh [--keep]      --keep leaves the chroot folder for a look afterwards
set -euo pipefail
keep=0
[ "${1:-}" = --keep ] && keep=1
src=$(cd "$(dirname "$0")/.." && pwd)
corpus=$(realpath -m "${LEANFOLD_CORPUS:-$src/../shared/corpus}")
if [ "$(id -u)" -ne 0 ]; then
  echo "check-fresh.sh: debootstrap and chroot need root" >&2
  exit 1
fi
command -v debootstrap >/dev/null || { echo "check-fresh.sh: debootstrap is not installed" >&2; exit 69; }

# Root's own folder, private from its creation; the chroot lies inside it.
work=$(mktemp -d /var/tmp/leanfold-fresh.XXXXXXXX)
fresh="$work/debian"
cleanup() {
  for m in dev/pts dev proc sys; do
    mountpoint -q "$fresh/$m" && umount -l "$fresh/$m"
  done
  if [ "$keep" -eq 1 ]; then
    echo "check-fresh.sh: the chroot is kept in $fresh" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT

step() { echo "=== check-fresh.sh: $*" >&2; }
in_fresh() { chroot "$fresh" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
as_user() { in_fresh runuser -l newuser -c "$1"; }

step "debootstrap bookworm into $fresh"
debootstrap --variant=minbase bookworm "$fresh" http://deb.debian.org/debian >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log"; exit 1; }
mount -t proc proc "$fresh/proc"
mount -t sysfs sys "$fresh/sys"
mount --bind /dev "$fresh/dev"
mount --bind /dev/pts "$fresh/dev/pts"
cp /etc/resolv.conf "$fresh/etc/resolv.conf"
# What a checkout needs before the README's commands: git, to clone it.
in_fresh apt-get update -qq
in_fresh apt-get install -y -qq --no-install-recommends git ca-certificates >/dev/null
git -C "$src" bundle create "$fresh/leanfold.bundle" HEAD 2>/dev/null
chmod 0644 "$fresh/leanfold.bundle"

step "root: bash scripts/test.sh in /root/project"
in_fresh git clone -q /leanfold.bundle /root/project
if [ -d "$corpus" ]; then
  mkdir -p "$fresh/root/shared"
  cp -a "$corpus" "$fresh/root/shared/corpus"
fi
in_fresh bash -c 'cd /root/project && bash scripts/test.sh'

step "ordinary user without sudo, after root ran deps.sh once"
in_fresh useradd -m -s /bin/bash newuser
as_user 'git clone -q /leanfold.bundle project'
if [ -d "$corpus" ]; then
  mkdir -p "$fresh/home/newuser/shared"
  cp -a "$corpus" "$fresh/home/newuser/shared/corpus"
  in_fresh chown -R newuser: /home/newuser/shared
fi
in_fresh bash -c "cd /home/newuser/project && su -c 'bash scripts/deps.sh'"
as_user 'cd project && bash scripts/test.sh'

step "ordinary user with sudo, after a package and the source lists were removed"
in_fresh apt-get install -y -qq --no-install-recommends sudo >/dev/null
echo 'newuser ALL=(ALL) NOPASSWD: ALL' >"$fresh/etc/sudoers.d/leanfold-check"
chmod 0440 "$fresh/etc/sudoers.d/leanfold-check"
in_fresh apt-get purge -y -qq acl >/dev/null
rm -f "$fresh"/etc/apt/sources.list.d/leanfold-deb-src.*
in_fresh apt-get update -qq
as_user 'cd project && bash scripts/test.sh'
in_fresh dpkg -s acl >/dev/null
[ -n "$(in_fresh apt-cache showsrc expat)" ]
step "all three runs passed"
