#!/usr/bin/env bash
# Sets up a fresh Debian 12 or 13 machine for kestrin and builds it; safe to
# run again (what is already there is kept). Installs the Debian packages,
# finds a CPython >= 3.12, makes the virtual environment .venv, installs the
# module into it and builds the C++ tests and test programs in build/tests.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

log() { printf '[bootstrap] %s\n' "$*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- Debian packages ---------------------------------------------------------
packages=(
  build-essential cmake ninja-build pkg-config git
  libwayland-dev libwayland-bin wayland-protocols libxkbcommon-dev
  libgtest-dev nlohmann-json3-dev
  sway grim wtype wev foot fonts-dejavu-core
  # GTK's text view, for the tests of typing into a slow reader.
  zenity
  # More compositors for tests/real: phoc runs the whole module (its seat
  # appears only once Xwayland runs); weston and cage lack the virtual-input
  # protocols, and the tests check what construction says there.
  phoc xwayland weston cage
)
# The GNOME backend's libraries: sd-bus for Mutter's D-Bus services, PipeWire
# for the screen cast's frames.
packages+=(libsystemd-dev libpipewire-0.3-dev)
# kestrin.gnome's tests: headless Mutter with a virtual monitor (Mesa's
# software rendering, no GPU needed), PipeWire and WirePlumber for its screen
# casts, and a private session bus.
packages+=(
  mutter pipewire pipewire-bin wireplumber dbus dbus-daemon
  libgl1-mesa-dri libegl-mesa0 libegl1 libgles2
)
. /etc/os-release
if [ "${VERSION_ID:-}" != "12" ]; then
  # Debian 13 and later bring a Python that is new enough.
  packages+=(python3 python3-dev python3-venv)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing Debian packages: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# sway refuses to run as root; the headless compositor runs as this user.
if [ "$(id -u)" -eq 0 ] && ! id kestrin-sway >/dev/null 2>&1; then
  log "creating the system user kestrin-sway"
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin kestrin-sway
fi

# --- Python ------------------------------------------------------------------
python_ok() {
  "$1" -c 'import sys, sysconfig, os
ok = sys.version_info >= (3, 12) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)' 2>/dev/null
}

find_python() {
  local candidates=()
  [ -n "${KESTRIN_PYTHON:-}" ] && candidates+=("$KESTRIN_PYTHON")
  local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  for v in 3.13 3.12; do
    for d in $(ls -d "$pyenv_root"/versions/$v* 2>/dev/null | sort -Vr); do
      candidates+=("$d/bin/python3")
    done
  done
  candidates+=(/usr/bin/python3.13 /usr/bin/python3.12 /usr/bin/python3 "$(command -v python3 || true)")
  for c in "${candidates[@]}"; do
    [ -n "$c" ] && [ -x "$c" ] && python_ok "$c" && { echo "$c"; return 0; }
  done
  return 1
}

venv=$root/.venv
if [ ! -x "$venv/bin/python" ] || ! python_ok "$venv/bin/python"; then
  python=$(find_python) || {
    log "no CPython 3.12 or newer with its headers was found (set KESTRIN_PYTHON to one)"
    exit 1
  }
  log "making $venv with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
stamp=$venv/.requirements
if ! cmp -s requirements-dev.txt "$stamp"; then
  log "installing Python packages into $venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi

# --- wayland-protocols XML -----------------------------------------------------
# ext-image-copy-capture-v1 came with wayland-protocols 1.37 (Debian 12 has
# 1.31): where the system's lacks it, apt brings Debian 13's package into
# build/deps, and both builds below are told where it is, so that the
# project's own builds always carry and test that capture path.
protocols_dir=$(pkg-config --variable=pkgdatadir wayland-protocols)
if [ ! -f "$protocols_dir/staging/ext-image-copy-capture/ext-image-copy-capture-v1.xml" ]; then
  KESTRIN_WAYLAND_PROTOCOLS_DIR=$(./scripts/fetch_wayland_protocols.sh)
  export KESTRIN_WAYLAND_PROTOCOLS_DIR
fi

# --- build -------------------------------------------------------------------
log "building and installing the module into $venv"
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps .

log "building the C++ tests and test programs in build/tests"
/usr/bin/cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRIN_BUILD_TESTS=ON -DKESTRIN_BUILD_MODULE=OFF >/dev/null
/usr/bin/cmake --build build/tests
