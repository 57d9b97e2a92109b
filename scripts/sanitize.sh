#!/usr/bin/env bash
# Runs the C++ unit tests and the Python tests against the fake compositor
# under AddressSanitizer and UndefinedBehaviorSanitizer, from a build of its
# own in build/sanitize (incremental when run again). Exits non-zero when a
# test fails or any process reported anything, also a process whose exit
# status no test looks at. Needs the venv that scripts/bootstrap.sh makes;
# arguments are passed on to pytest (e.g. -k, -x).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

log() { printf '[sanitize] %s\n' "$*" >&2; }

build=$root/build/sanitize
python=$root/.venv/bin/python
reports=$build/reports
if [ ! -x "$python" ]; then
  log "no $python; run scripts/bootstrap.sh first"
  exit 1
fi

# --- build -------------------------------------------------------------------
log "building with the sanitizers in build/sanitize"
# -O1: the instrumented compile at -O2 takes about 40% longer, for tests
# that gain nothing from the speed.
/usr/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DKESTRIN_BUILD_TESTS=ON -DKESTRIN_BUILD_MODULE=ON -DKESTRIN_SANITIZE=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
# Only what the runs below use (kestrin_gnome_tests brings the probe, its
# client): the benchmark and the examples would add minutes of instrumented
# compiling.
/usr/bin/cmake --build "$build" --target kestrin kestrin_tests kestrin_gnome_tests fake_compositor_tests fake-compositor

# Python is not instrumented, so the runtime has to be in the process before
# the module brings it in: the very one the module was linked with.
module=$build/python/kestrin/__init__$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
asan_runtime=$(ldd "$module" | awk '$1 ~ /^libasan\.so/ { print $3 }') || true
if [ ! -f "$asan_runtime" ]; then
  log "$module is not linked with the AddressSanitizer runtime"
  exit 1
fi

# Every report goes to a file as well as failing its process: a process that
# dies of one is not always one whose exit status a test checks (a child of a
# child, a compositor a test means to lose), and pytest keeps what its own
# process wrote to stderr during a test that killed it.
# GCC's UBSan runtime writes its message to stderr whatever its log_path says,
# and when it starts it sets ASan's report path to its own log_path; so both
# get the same one, and UBSan ends in abort(), which ASan reports (with the
# __ubsan_handle_* frame and the faulty line) in the file.
common_asan=halt_on_error=1:handle_abort=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/report
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/report

# Prints the reports written since the last call; fails when there are any.
check_reports() {
  local found=0 file
  for file in "$reports"/*; do
    [ -e "$file" ] || continue
    found=1
    printf '\n[sanitize] ---- %s ----\n' "${file#"$root"/}" >&2
    cat "$file" >&2
  done
  if [ $found -eq 1 ]; then
    log "sanitizer reports after the $1 (above)"
    return 1
  fi
}
reset_reports() { rm -rf "$reports"; mkdir -p "$reports"; }

status=0

# --- C++ tests ---------------------------------------------------------------
reset_reports
log "C++ tests"
# libwayland has no frame pointers, so the fast unwinder would end the stack
# of what it allocated at libwayland itself: a leak report would not say whose
# it is.
ASAN_OPTIONS=$common_asan:detect_leaks=1:fast_unwind_on_malloc=0 \
  /usr/bin/ctest --test-dir "$build" --output-on-failure -j2 || status=1
check_reports "C++ tests" || status=1

# --- Python tests ------------------------------------------------------------
# CPython frees little of what it holds at exit, so leaks are looked for in
# the instrumented programs only (the fake compositor and the other programs
# in bin/): each has an options file named after it, read through %b.
options=$build/asan-options
rm -rf "$options"
mkdir -p "$options"
for program in "$build"/bin/*; do
  if [ -f "$program" ] && [ -x "$program" ]; then
    printf 'detect_leaks=1\nfast_unwind_on_malloc=0\n' >"$options/$(basename "$program")"
  fi
done
python_asan=$common_asan:detect_leaks=0:include_if_exists=$options/%b

run_python() {
  env PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" \
    KESTRIN_TEST_BIN="$build/bin" \
    LD_PRELOAD="$asan_runtime${LD_PRELOAD:+:$LD_PRELOAD}" \
    ASAN_OPTIONS="$python_asan" \
    "$python" "$@"
}

reset_reports
# The installed, uninstrumented module must not be the one under test.
imported=$(run_python -c 'import kestrin; print(kestrin.__file__)') || status=1
case "$imported" in
  "$build"/python/kestrin/*) ;;
  *)
    log "kestrin was imported from '${imported}', not from $build/python"
    exit 1
    ;;
esac

log "Python tests with $imported"
# test_packaging builds a wheel and runs mypy: nothing of ours runs natively.
run_python -m pytest -q tests/python --ignore=tests/python/test_packaging.py \
  -m "not stress" "$@" || status=1
check_reports "Python tests" || status=1

exit $status
