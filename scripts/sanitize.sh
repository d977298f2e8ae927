#!/usr/bin/env bash
# Runs the engine tests and the Python tests under AddressSanitizer and
# UndefinedBehaviorSanitizer (any undefined behaviour aborts the run).
#
#   engine:  build/sanitize/engine, the GoogleTest suite, with LeakSanitizer on
#   module:  build/sanitize/module, installed into build/sanitize/site (never into .venv),
#            then tests/python under the .venv interpreter with the ASan runtime preloaded;
#            the interpreter itself is not leak-clean, so of LeakSanitizer's report only the
#            leaks allocated through the engine or the module count
#
# Usage: scripts/sanitize.sh [engine|python|all]   (default: all)
# Environment: JOBS (parallel compile jobs, default: nproc), PYTEST_ARGS (extra pytest
# arguments, e.g. "-k randomized"), TARVELO_FUZZ_EXAMPLES (examples of the randomized test).
set -euo pipefail

# As a compiler launcher (see the module build below): run the compile with the null-pointer
# checks of UBSan switched off for the module's own sources only.
if [ "${1:-}" = "--compile-module-source" ]; then
  shift
  case "$*" in
    */tarvelo/native/*) exec "$@" -fno-sanitize=null,nonnull-attribute,returns-nonnull-attribute ;;
    *) exec "$@" ;;
  esac
fi

cd "$(dirname "$0")/.."
root=$PWD
what=${1:-all}
jobs=${JOBS:-$(nproc)}
venv=$root/.venv
out=$root/build/sanitize
cxx=${CXX:-g++}

[ -x "$venv/bin/python" ] || bash scripts/bootstrap.sh

asan_runtime=$("$cxx" -print-file-name=libasan.so)
ubsan_runtime=$("$cxx" -print-file-name=libubsan.so)
cppad_lib=$("$venv/bin/python" -c \
  "import sys, pathlib; print(next(str(p / 'cmeel.prefix' / 'lib') for p in map(pathlib.Path, sys.path) if (p / 'cmeel.prefix' / 'lib').is_dir()))")

# allocator_may_return_null: a huge request becomes std::bad_alloc (MemoryError), as it does
# without the sanitizer, instead of a sanitizer abort.
common_asan=allocator_may_return_null=1:strict_init_order=1:check_initialization_order=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

seconds() { date +%s; }
report() { printf 'sanitize: %s (%ss)\n' "$1" "$2"; }

run_engine() {
  local start
  start=$(seconds)
  "$venv/bin/cmake" -S . -B "$out/engine" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$venv/bin/python" -DTARVELO_BUILD_TESTS=ON -DTARVELO_SANITIZE=ON >/dev/null
  "$venv/bin/cmake" --build "$out/engine" -j "$jobs"
  report "engine tests built" $(($(seconds) - start))
  start=$(seconds)
  ASAN_OPTIONS=$common_asan:detect_leaks=1 LSAN_OPTIONS=report_objects=1 \
    "$out/engine/tests/engine/engine_tests" --gtest_brief=1
  report "engine tests passed, no sanitizer report, no leak" $(($(seconds) - start))
}

run_python() {
  local start status=0 reports=$out/reports ours
  start=$(seconds)
  # GCC 12 cannot evaluate string_view::find at compile time once -fsanitize=null is on (it
  # compares a pointer with null), which the module's signature parser does; the launcher
  # drops those three checks for the module's own sources and keeps every other one.
  # scikit-build-core's `cmake --build` takes its jobs from CMAKE_BUILD_PARALLEL_LEVEL.
  CMAKE_BUILD_PARALLEL_LEVEL=$jobs \
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --upgrade \
    -C build-dir="$out/module" -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.TARVELO_SANITIZE=ON \
    -C "cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$root/scripts/sanitize.sh;--compile-module-source" \
    --target "$out/site" .
  report "module built" $(($(seconds) - start))
  start=$(seconds)
  rm -rf "$reports" && mkdir -p "$reports"
  # PYTHONMALLOC=malloc sends every Python object through the sanitized allocator, so that a
  # reference the module forgets to hold shows up as a use after free. The interpreter frees
  # little at exit, so LeakSanitizer writes its report to a file and only the leaks allocated
  # through the engine or the module count.
  LD_PRELOAD="$asan_runtime:$ubsan_runtime" \
    ASAN_OPTIONS=$common_asan:detect_leaks=1:log_path=$reports/asan LSAN_OPTIONS=exitcode=0 \
    UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$reports/ubsan \
    PYTHONMALLOC=malloc PYTHONPATH="$out/site" LD_LIBRARY_PATH="$cppad_lib" \
    "$venv/bin/pytest" -q -p no:cacheprovider --capture=sys tests/python ${PYTEST_ARGS:-} ||
    status=$?
  if [ "$status" -ne 0 ]; then
    cat "$reports"/* 2>/dev/null || true
    echo "sanitize: Python tests failed (status $status)" >&2
    exit 1
  fi
  # LeakSanitizer's exit code is off for the interpreter's own leaks, and with it the exit code
  # of every other report: an error report in the files fails the run instead.
  if grep -l -E 'ERROR: AddressSanitizer|runtime error:' "$reports"/* 2>/dev/null; then
    cat "$reports"/*
    echo "sanitize: the sanitizers reported an error in the Python tests" >&2
    exit 1
  fi
  ours=$(cat "$reports"/asan.* 2>/dev/null | awk -v engine="$root/engine/" -v module="$root/tarvelo/native/" \
    'BEGIN { RS = "" } /leak of/ && (index($0, engine) || index($0, module)) { print; print "" }')
  if [ -n "$ours" ]; then
    printf '%s\n' "$ours"
    echo "sanitize: memory allocated by the engine or the module was leaked" >&2
    exit 1
  fi
  report "Python tests passed, no sanitizer report, no leak of ours" $(($(seconds) - start))
}

total=$(seconds)
case "$what" in
  engine) run_engine ;;
  python) run_python ;;
  all) run_engine; run_python ;;
  *) echo "usage: $0 [engine|python|all]" >&2; exit 2 ;;
esac
report "done" $(($(seconds) - total))
