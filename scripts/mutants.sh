#!/usr/bin/env bash
# Checks that the tests catch the faults they exist for. Plants each fault of
# tests/mutants/*.patch, one at a time, in a scratch copy of this tree under
# /tmp (removed at the end), rebuilds the module and the test programs from
# it (in build/mutants, incrementally when run again) and runs the tests the
# patch names; prints "caught" or "NOT CAUGHT" for each.
# It takes minutes, so scripts/test.sh does not run it. Needs the venv that
# scripts/bootstrap.sh makes.
#
#   scripts/mutants.sh [PATCH ...]    (names such as 03-turned-180, or files)
#
# A patch begins with a header that patch(1) passes over: "Fault: <what it
# plants>", then one "Test: <command>" line per test run, where <command> is
# "pytest <arguments>" (run from the scratch tree) or "gtest <program>
# <filter>"; the fault is caught when one of them fails. Before any fault is
# planted, every named test must pass. Exits non-zero when a fault is not
# caught, a patch no longer applies or a test fails without a fault.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=$root/.venv/bin/python

log() { printf '[mutants] %s\n' "$*" >&2; }

if [ ! -x "$python" ]; then
  log "no $python; run scripts/bootstrap.sh first"
  exit 1
fi

patches=()
if [ $# -eq 0 ]; then
  patches=("$root"/tests/mutants/*.patch)
else
  for name in "$@"; do
    if [ -f "$name" ]; then patches+=("$(cd "$(dirname "$name")" && pwd)/$(basename "$name")")
    else patches+=("$root/tests/mutants/${name%.patch}.patch"); fi
  done
fi

# The build stays in build/mutants, so that a later run compiles only what
# changed; it was made from a copy of the tree at the same place under /tmp,
# which this run makes again and removes at the end. One run at a time.
build=$root/build/mutants
mkdir -p "$build"
exec 9>"$build/lock"
if ! flock -n 9; then
  log "another run of scripts/mutants.sh on $root is under way"
  exit 1
fi
scratch=/tmp/kestrin-mutants-$(printf '%s' "$root" | sha1sum | cut -c1-12)
rm -rf "$scratch"
trap 'rm -rf "$scratch"' EXIT
tree=$scratch/tree
mkdir -p "$tree"

# The tree as it is now, changes not yet committed included, with its files'
# times; no build outputs, no venv.
log "copying the tree to $tree"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
  tar --null -T - -cf -) | tar -xf - -C "$tree"

# The build holds what the last run's tree gave it. A file whose content
# changed since may still be older than what was built from the old content
# (one put back by git, say): it is made newer, so that it is built again.
# After a run that stopped with a fault planted nothing is trusted.
sums=$scratch/tree.sums
(cd "$tree" && find . -type f -print0 | xargs -0 sha1sum | LC_ALL=C sort) >"$sums"
if [ -e "$build/planted" ]; then
  log "the last run stopped with a fault planted: everything is built again"
  find "$build" -mindepth 1 -maxdepth 1 ! -name lock -exec rm -rf {} +
elif [ -f "$build/tree.sums" ]; then
  LC_ALL=C comm -23 "$sums" "$build/tree.sums" | cut -c43- | (cd "$tree" && xargs -r -d '\n' touch)
fi
rm -f "$build/tree.sums"

# As scripts/bootstrap.sh does: XML the system's wayland-protocols lacks comes
# from the cache in build/deps.
protocols_dir=$(pkg-config --variable=pkgdatadir wayland-protocols)
if [ ! -f "$protocols_dir/staging/ext-image-copy-capture/ext-image-copy-capture-v1.xml" ]; then
  KESTRIN_WAYLAND_PROTOCOLS_DIR=$(KESTRIN_DEPS_DIR=$root/build/deps "$root/scripts/fetch_wayland_protocols.sh")
  export KESTRIN_WAYLAND_PROTOCOLS_DIR
fi

# Unoptimised and without debug information, the quickest to compile: every
# fault is compiled twice (planted, then removed, which leaves the file newer
# than before, so that the next build takes it again), and the tests do not
# need the speed. Only what the patches' tests run is built, and the C++
# tests; a run ends with the build as the tree is, for other tests to use.
/usr/bin/cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O0 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -DNDEBUG" \
  -DKESTRIN_BUILD_TESTS=ON -DKESTRIN_BUILD_MODULE=ON -DPython_EXECUTABLE="$python" >/dev/null
rebuild() {
  /usr/bin/cmake --build "$build" --target kestrin kestrin_gnome kestrin_tests kestrin_gnome_tests \
    fake-compositor fake_compositor_tests kestrin-probe >"$scratch/build.log" 2>&1
}

# The "Test:" lines of a patch, one command a line.
tests_of() { sed -n 's/^Test: //p' "$1"; }
fault_of() { sed -n 's/^Fault: //p' "$1"; }

# Runs one test command; its output goes to $scratch/test.log.
run_test() {
  local -a words
  eval "words=($1)"
  case ${words[0]} in
    pytest)
      (cd "$tree" && env PYTHONPATH="$build/python" KESTRIN_TEST_BIN="$build/bin" \
        timeout 900 "$python" -m pytest -q -x -p no:cacheprovider "${words[@]:1}") ;;
    gtest)
      timeout 900 "$build/bin/${words[1]}" --gtest_filter="${words[2]}" ;;
    *)
      log "unknown test command: $1"
      return 2 ;;
  esac >"$scratch/test.log" 2>&1
}

log "building the module and the test programs (minutes)"
if ! rebuild; then
  cat "$scratch/build.log" >&2
  log "the tree does not build"
  exit 1
fi
imported=$(cd "$tree" && PYTHONPATH="$build/python" "$python" -c 'import kestrin; print(kestrin.__file__)')
case "$imported" in
  "$build"/python/kestrin/*) ;;
  *) log "kestrin was imported from '$imported', not from $build/python"; exit 1 ;;
esac

status=0
log "the tests without a fault"
usable=()
for patch in "${patches[@]}"; do
  ok=1
  while IFS= read -r command; do
    if ! run_test "$command"; then
      cat "$scratch/test.log" >&2
      printf 'FAILS ALREADY %s: %s\n' "$(basename "$patch" .patch)" "$command"
      ok=0
      status=1
    fi
  done < <(tests_of "$patch")
  [ $ok -eq 1 ] && usable+=("$patch")
done

touch "$build/planted"
for patch in "${usable[@]}"; do
  name=$(basename "$patch" .patch)
  log "planting $name"
  # Tried first, so that a patch that applies only in part changes nothing.
  if ! patch -d "$tree" -p1 --forward --dry-run <"$patch" >"$scratch/patch.log" 2>&1; then
    cat "$scratch/patch.log" >&2
    printf 'DOES NOT APPLY %s: %s\n' "$name" "$(fault_of "$patch")"
    status=1
    continue
  fi
  patch -d "$tree" -p1 --forward --silent <"$patch"
  verdict="NOT CAUGHT"
  if ! rebuild; then
    cat "$scratch/build.log" >&2
    verdict="DOES NOT BUILD"
  else
    while IFS= read -r command; do
      if ! run_test "$command"; then
        verdict="caught"
        break
      fi
    done < <(tests_of "$patch")
  fi
  [ "$verdict" = caught ] || status=1
  printf '%-14s %s: %s\n' "$verdict" "$name" "$(fault_of "$patch")"
  patch -d "$tree" -p1 -R --silent <"$patch"
done
if rebuild; then
  cp "$sums" "$build/tree.sums"
  rm -f "$build/planted"
else
  status=1
fi
exit $status
