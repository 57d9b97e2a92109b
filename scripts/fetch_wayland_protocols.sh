#!/usr/bin/env bash
# Provides the wayland-protocols XML that the system's package lacks (Debian
# 12's 1.31 has no ext-image-copy-capture-v1): downloads Debian trixie's
# wayland-protocols package (architecture all), checks its SHA256 against the
# archive's index and unpacks it into a cache outside git. Prints the
# directory that holds the XML (the package's pkgdatadir), which CMake takes
# as KESTRIN_WAYLAND_PROTOCOLS_DIR. Does nothing but print it when the cache
# is already there.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { printf '[wayland-protocols] %s\n' "$*" >&2; }

cache=${KESTRIN_DEPS_DIR:-$root/build/deps}/wayland-protocols
datadir=$cache/usr/share/wayland-protocols
needed=staging/ext-image-copy-capture/ext-image-copy-capture-v1.xml
if [ -f "$datadir/$needed" ]; then
  echo "$datadir"
  exit 0
fi

mirror=${KESTRIN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
index=$mirror/dists/trixie/main/binary-all/Packages.xz
log "looking up wayland-protocols in $index"
entry=$(curl -fsSL "$index" | xz -dc | awk '
  /^Package: / { inside = ($2 == "wayland-protocols") }
  inside && /^(Filename|SHA256): / { print $2 }')
filename=$(sed -n 1p <<<"$entry")
sha256=$(sed -n 2p <<<"$entry")
if [ -z "$filename" ] || [ -z "$sha256" ]; then
  log "the index names no wayland-protocols package"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log "downloading $mirror/$filename"
curl -fsSL -o "$work/package.deb" "$mirror/$filename"
if ! echo "$sha256  $work/package.deb" | sha256sum --check --status; then
  log "$filename does not have the SHA256 $sha256 that the index gives"
  exit 1
fi
dpkg-deb -x "$work/package.deb" "$work/unpacked"
if [ ! -f "$work/unpacked/usr/share/wayland-protocols/$needed" ]; then
  log "$filename holds no $needed"
  exit 1
fi
rm -rf "$cache"
mkdir -p "$(dirname "$cache")"
mv "$work/unpacked" "$cache"
echo "$datadir"
