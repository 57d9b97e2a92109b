#!/usr/bin/env bash
# Provides the wayland-protocols XML that the system's package lacks (Debian
# 12's 1.31 has no ext-image-copy-capture-v1): takes Debian trixie's
# wayland-protocols package (architecture all) from the Debian archive this
# machine's apt is already configured with, through apt itself, so the
# archive's signed Release is checked against the system's archive keyring and
# the package against the signed index. apt runs with a sources list, lists and
# cache of its own in a temporary directory: the system's apt state is not
# touched. Unpacks the package into a cache outside git and prints the
# directory that holds the XML (the package's pkgdatadir), which CMake takes as
# KESTRIN_WAYLAND_PROTOCOLS_DIR. Does nothing but print it when the cache is
# already there.
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

# The suite whose wayland-protocols has the protocol (1.37 or newer).
suite=${KESTRIN_PROTOCOLS_SUITE:-trixie}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# The configured archive that serves this system's own release: the same
# archive serves the newer suite.
. /etc/os-release
archive=$(apt-get indextargets --format '$(REPO_URI)|$(RELEASE)|$(COMPONENT)' 'Identifier: Packages' |
  awk -F'|' -v release="${VERSION_CODENAME:-}" '$2 == release && $3 == "main" { print $1; exit }')
if [ -z "$archive" ]; then
  log "apt has no source for ${VERSION_CODENAME:-this release}'s main component: run 'apt-get update' first"
  exit 1
fi
if [ ! -f "$keyring" ]; then
  log "$keyring is missing (Debian's debian-archive-keyring package)"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/download"
: >"$work/status"
echo "deb [signed-by=$keyring] $archive $suite main" >"$work/sources.list"
apt_private=(
  -o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=-
  -o "Dir::State::lists=$work/lists" -o "Dir::State::status=$work/status" -o "Dir::Cache=$work/cache"
  -o Debug::NoLocking=1 -o APT::Sandbox::User=root
)
log "reading $suite's package index through apt"
# Any failure, an unsigned or badly signed Release among them, is an error.
apt-get -qq "${apt_private[@]}" --error-on=any update >&2
# apt-get download refuses a package it cannot authenticate.
(cd "$work/download" && apt-get -qq "${apt_private[@]}" download wayland-protocols >&2)
package=$(ls "$work"/download/wayland-protocols_*_all.deb)
dpkg-deb -x "$package" "$work/unpacked"
if [ ! -f "$work/unpacked/usr/share/wayland-protocols/$needed" ]; then
  log "$(basename "$package") holds no $needed"
  exit 1
fi
rm -rf "$cache"
mkdir -p "$(dirname "$cache")"
mv "$work/unpacked" "$cache"
log "unpacked $(basename "$package") into $cache"
echo "$datadir"
