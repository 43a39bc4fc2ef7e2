#!/bin/sh
# Installs the package `make deb` built into a clean Debian 12 made with
# debootstrap, as a person would (apt install ./tessaline_*.deb), and runs
# it there: its help, the manual page's presence, the completion, and an
# export of the sample library. The bare system is kept in
# build-deb/chroot-base for the next run; every run starts from a fresh
# copy of it, removed afterwards. Needs root and the Debian mirror.
set -eu
deb=$(ls build-deb/tessaline_*.deb | tail -n 1)
base=build-deb/chroot-base
root=build-deb/chroot
if [ ! -x "$base/usr/bin/apt-get" ]; then
  rm -rf "$base.partial"
  debootstrap --variant=minbase bookworm "$base.partial" http://deb.debian.org/debian
  mv "$base.partial" "$base"
fi
# Never into a mounted /proc, should an earlier run have left one.
rm -rf --one-file-system "$root"
cp -a "$base" "$root"
mount -t proc proc "$root/proc"
trap 'umount "$root/proc" && rm -rf --one-file-system "$root"' EXIT
cp "$deb" "$root/tmp/"
# The sample library is made here and moved in: it names its files where
# they were made, which --map-prefix maps to where they are in there.
sample=$(mktemp -d)
python3 scripts/make_sample_library.py "$sample/lib" >/dev/null
cp -a "$sample/lib" "$root/tmp/lib"
cp /etc/resolv.conf "$root/etc/resolv.conf"
chroot "$root" sh -c 'apt-get update -q >/dev/null &&
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/tessaline_*.deb | tail -n 3'
chroot "$root" sh -ec "
  echo '\$ tessaline --help'; tessaline --help
  echo '\$ ls /usr/share/man/man1/tessaline*'; ls /usr/share/man/man1/tessaline*
  echo '\$ tessaline __complete bash \"tessaline ex\"'; tessaline __complete bash 'tessaline ex'
  mkdir -p /tmp/drive
  echo '\$ tessaline export --library /tmp/lib/Library.xml --to /tmp/drive --yes --map-prefix ...'
  tessaline export --library /tmp/lib/Library.xml --to /tmp/drive --yes --map-prefix '$sample/lib=/tmp/lib'
  echo '\$ ls /tmp/drive/Playlists'; ls /tmp/drive/Playlists
  echo '\$ tessaline dock-tile -o /tmp/tile.png --value 40  (the window program, its images)'
  QT_QPA_PLATFORM=offscreen tessaline dock-tile -o /tmp/tile.png --value 40 2>/dev/null
  file /tmp/tile.png 2>/dev/null || ls -l /tmp/tile.png"
rm -rf "$sample"
