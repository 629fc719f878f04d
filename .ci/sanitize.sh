#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer stage: builds the module and
# the native tests instrumented (gcc), runs the native tests with leak
# detection, then the whole pytest suite against the instrumented module (taken
# from the build directory through PYTHONPATH, never the installed one) in an
# interpreter with the sanitizer runtimes preloaded. Any report fails the stage.
#
#   .ci/sanitize.sh [extra pytest arguments]
#
# Environment: ORVEX_SANITIZE_BUILD (build directory, default
# build/sanitize). Hypothesis runs with the "emulated" profile of
# tests/conftest.py (fewer examples, no deadline): the instrumented
# interpreter is several times slower.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ORVEX_SANITIZE_BUILD:-build/sanitize}
started=$(date +%s)
# shellcheck source=.ci/common.sh
. .ci/common.sh

# The interpreter itself, not a launcher script (pyenv shims are shell
# scripts, and the preloaded runtime must be in the process that loads orvex).
py=$(python3 -c 'import sys; print(sys.executable)')

# gcc's sanitizer runtimes and GoogleTest's sources (built here with the same
# instrumentation as the tests).
runtime() { gcc -print-file-name="$1"; }
if [ ! -f "$(runtime libasan.so)" ] || [ ! -f "$(runtime libubsan.so)" ]; then
  install_missing_debs gcc g++ libasan8 libubsan1
fi
install_missing_debs googletest
"$py" -c 'import pytest, hypothesis' 2>/dev/null || "$py" -m pip install -q pytest hypothesis lxml

# -O1 keeps reports readable; -g1 gives file:line in stacks without embedding
# constants into the debug information; asserts stay on (no NDEBUG).
echo "== sanitizer build ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DORVEX_SANITIZE=ON -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$py" -Wno-deprecated >/dev/null
cmake --build "$build" -j2 >/dev/null
echo "   built in $(( $(date +%s) - started ))s"

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$root/.ci/lsan.supp:print_suppressions=0

echo "== native tests under ASan/UBSan/LSan"
"$build/native_tests/native_tests" --gtest_brief=1 2>&1 | tail -n 3

echo "== python tests under ASan/UBSan/LSan"
# With the system allocator every Python object is a malloc block, so LSan
# sees what references native memory and what does not: objects still alive
# at exit are reachable, and only memory nobody references is reported.
export PYTHONMALLOC=malloc
export PYTHONPATH=$root/$build
export LD_PRELOAD="$(runtime libasan.so) $(runtime libubsan.so)"
# Reports go to files, one per process (subprocesses of the tests included).
# The interpreter leaves a few objects of its own unreleased at exit (whose
# stacks the sanitizer cannot unwind through an interpreter built without
# frame pointers), and tools the tests start (git) inherit the preload, so
# leak reports do not end a process; instead every report is examined below
# and any leak through orvex's own code, and any other sanitizer error, fails
# the stage.
reports=$root/$build/sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
export LSAN_OPTIONS=$LSAN_OPTIONS:exitcode=0
# The stack-use-after-return detector makes the interpreter's deep recursion
# tests far slower; the native tests above already ran with it. Tests that
# cap the process's memory (RLIMIT_AS, RLIMIT_DATA) cannot run under ASan,
# whose shadow memory alone reserves terabytes of address space and whose
# own allocations then fail in the capped child.
asan_py=${ASAN_OPTIONS/detect_stack_use_after_return=1/detect_stack_use_after_return=0}:log_path=$reports/asan
status=0
UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$reports/ubsan ASAN_OPTIONS=$asan_py \
  "$py" -m pytest -q -p no:cacheprovider --hypothesis-profile emulated --durations=10 \
    --deselect tests/test_write.py::test_shared_nodes_expanding_beyond_memory_give_memory_error \
    --deselect "tests/test_write.py::test_a_process_memory_limit_refuses_what_would_not_fit[RLIMIT_AS-(RLIMIT_AS)]" \
    --deselect "tests/test_write.py::test_a_process_memory_limit_refuses_what_would_not_fit[RLIMIT_DATA-(RLIMIT_DATA)]" \
    "$@" tests || status=$?

own="" errors="" interpreter=0
for f in "$reports"/*; do
  [ -e "$f" ] || continue
  if grep -q -E 'ERROR: AddressSanitizer|runtime error:' "$f"; then errors="$errors $f"
  elif grep -q -E "orvex|$root/src/" "$f"; then own="$own $f"
  else interpreter=$((interpreter + 1)); fi
done
echo "   sanitizer reports: $(ls "$reports" | wc -l) files; leak reports without orvex frames ignored: $interpreter"
for f in $own $errors; do echo "---- $f"; head -n 60 "$f"; done
if [ -n "$own$errors" ] || [ "$status" != 0 ]; then
  echo "== sanitizer stage FAILED (pytest status $status)"
  exit 1
fi

echo "== leak tests with the interpreter's own allocator (traced memory)"
# tests/test_leaks.py measures traced memory only with the interpreter's
# allocator, which reuses addresses at once (see the note there).
PYTHONMALLOC= ASAN_OPTIONS=${asan_py%:log_path=*}:detect_leaks=0 "$py" -m pytest -q -p no:cacheprovider tests/test_leaks.py
unset LD_PRELOAD
echo "== sanitizer stage passed in $(( $(date +%s) - started ))s"
