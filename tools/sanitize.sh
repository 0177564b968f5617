#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own virtual environment (build/asan/, or $QP_ASAN_DIR), then runs
# under it the whole test suite, a fuzz run of $FUZZ_CALLS calls (20,000),
# and a LeakSanitizer pass over every call path and $LEAK_FUZZ_CALLS (1,000)
# fuzz calls. Any sanitizer error aborts the process that hit it.
#
#   bash tools/sanitize.sh                  # build, tests, fuzzing, leaks
#   bash tools/sanitize.sh -k surface       # extra arguments go to pytest
#   FUZZ_CALLS=1000000 bash tools/sanitize.sh --fuzz-only
#
# Exits non-zero on any test failure, fuzz failure or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests=1
if [ "${1:-}" = "--fuzz-only" ]; then
  run_tests=0
  shift
fi

root="${QP_ASAN_DIR:-build/asan}"
mkdir -p "$root"
root="$(cd "$root" && pwd)"
venv="$root/venv"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
# shellcheck disable=SC1091
source "$venv/bin/activate"
python -m pip install --upgrade pip >/dev/null
# The build runs without isolation, so its requirements live in this venv.
python -m pip install scikit-build-core 'numpy>=2.0' cmake ninja >/dev/null
python -m pip install --no-build-isolation -e '.[test]' \
  -Ccmake.define.QP_SANITIZE=address,undefined \
  -Ccmake.build-type=RelWithDebInfo \
  -Cbuild-dir="$root/cmake"

# The interpreter is not instrumented, so the runtime is preloaded, with the
# C++ library beside it: the runtime intercepts C++ throws only when that
# library is already loaded as it starts, and the module reports every error
# by throwing. Leak detection is off until its own pass at the end. A failing
# allocation returns null, so the array library raises MemoryError as it
# would in an ordinary build.
reports="$root/reports"
rm -rf "$reports"
mkdir -p "$reports"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
# Reports go to files: pytest captures the standard error of a test, and a
# report that aborts the interpreter would be lost with it.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# pymalloc serves small objects from its own arenas; with plain malloc every
# Python object is visible to AddressSanitizer too.
export PYTHONMALLOC=malloc

# A report holds an error (and aborts the process that made it) or only
# warnings, such as a refused huge allocation that NumPy turns into a
# MemoryError.
show_reports() {
  local found=0
  for report in "$reports"/*; do
    [ -e "$report" ] || continue
    if grep -q -E "ERROR: |runtime error:|SUMMARY: " "$report"; then
      found=1
      echo "==== sanitizer report $report" >&2
      cat "$report" >&2
    fi
  done
  return "$found"
}
trap 'show_reports || true' ERR

for module in cy_impl _kernels; do
  file="$(python -c "import qesmorPitch.$module as m; print(m.__file__)")"
  # grep reads all of ldd's output: with -q it could exit first, and the
  # pipe failure ldd then sees fails the whole pipeline under pipefail.
  if ! ldd "$file" | grep libasan >/dev/null; then
    echo "$file is not the sanitized build" >&2
    exit 1
  fi
done

status=0
if [ "$run_tests" -eq 1 ]; then
  python -m pytest -p no:cacheprovider "$@" || status=$?
  if [ "$status" -eq 5 ]; then
    echo "pytest collected no tests" >&2
    status=1
  fi
fi
if [ "$status" -eq 0 ]; then
  python tools/fuzz.py --calls "${FUZZ_CALLS:-20000}" --log "$root/fuzz.log" || status=$?
fi

# LeakSanitizer, in processes of their own: every call path once, then a
# short fuzz run. At exit the interpreter and NumPy still hold allocations
# that nothing references, so only a leak allocated from this module's own
# code counts; the slow unwinder is needed to see past the uninstrumented
# libraries into it.
leaks="$root/leak-reports"
rm -rf "$leaks"
mkdir -p "$leaks"
export LSAN_OPTIONS="exitcode=0"

# Runs one leak pass with its reports in a folder of its own. The check at
# exit stops every thread of the process with ptrace; where that fails, the
# runtime aborts without having looked at any memory ("LeakSanitizer has
# encountered a fatal error"). Once on a CI machine the fuzz pass aborted
# so after reporting a clean run, with no error in any report. Such an
# abort is a failure of the tool, not a finding, so the pass runs once
# more: the passes are seeded, so a fault of the program aborts again.
# A second failure fails the run, and every report of a failed pass is
# shown.
leak_pass() {
  local name="$1" out="$2" try rc
  shift 2
  for try in 1 2; do
    rm -rf "${leaks:?}/$name"
    mkdir -p "$leaks/$name"
    rc=0
    ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:abort_on_error=1:allocator_may_return_null=1:log_path=$leaks/$name/lsan" \
      "$@" >"$out" || rc=$?
    [ "$rc" -eq 0 ] && break
    cat "$out"
    echo "==== $name: exit status $rc (try $try); its reports:" >&2
    grep -v -h -E "^ +#[0-9]+ " "$leaks/$name"/* >&2 || true
    [ "$rc" -eq 134 ] || break
    ! grep -q -h -E "ERROR: AddressSanitizer|runtime error:" "$leaks/$name"/* 2>/dev/null || break
  done
  [ "$rc" -eq 0 ] || status=$rc
}

if [ "$status" -eq 0 ]; then
  leak_pass paths "$root/leaks.log" python tools/leaks.py --calls 3 --warmup 0
  leak_pass fuzz "$root/leak-fuzz.log" python tests/fuzzing.py --engine random --seed 4242 --calls "${LEAK_FUZZ_CALLS:-1000}"
  cat "$root/leak-fuzz.log"
  for report in "$leaks"/*/*; do
    [ -e "$report" ] || continue
    # A leak counts when its stack passes through this checkout's sources
    # (the sanitizer's own frames also name a src/ directory).
    if grep -q -F "$PWD/src/" "$report" || grep -q -E "ERROR: AddressSanitizer|runtime error:" "$report"; then
      echo "==== leak report $report" >&2
      cat "$report" >&2
      status=1
    fi
  done
fi

if ! show_reports; then
  echo "sanitizer reports found" >&2
  status=1
fi
trap - ERR
exit "$status"
