#!/usr/bin/env bash
# Fuzz stage: builds the libFuzzer targets (clang, ASan + UBSan, leak checks)
# and runs each for a bounded time from the seed corpus in fuzz/corpus/.
# A crash, sanitizer report, leak or failed check fails the stage; the input
# that caused it is left in the build directory (crash-*, leak-*, timeout-*).
#
#   .ci/fuzz.sh [seconds per target] [targets...]
#
# ORVEX_FUZZ_BUILD sets the build directory (default build/fuzz). New inputs
# are kept in <build>/corpus/<target>, never in the committed seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ORVEX_FUZZ_BUILD:-build/fuzz}
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_reader fuzz_decode fuzz_writer)
started=$(date +%s)
# shellcheck source=.ci/common.sh
. .ci/common.sh

# clang with libFuzzer and the sanitizer runtimes (Debian: libclang-rt-*-dev).
if ! command -v clang++ >/dev/null ||
   ! ls "$(clang++ -print-resource-dir)"/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    clang "libclang-rt-$(clang++ --version 2>/dev/null | sed -n 's/.*version \([0-9]*\).*/\1/p;q' || echo 14)-dev" >/dev/null \
    || as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi

echo "== fuzz build ($build)"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null
echo "   built in $(( $(date +%s) - started ))s"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Small inputs keep executions fast; the writer's inputs are programs that
# build trees, so fewer bytes already give large documents.
declare -A max_len=([fuzz_reader]=2048 [fuzz_decode]=512 [fuzz_writer]=512)

status=0
for t in "${targets[@]}"; do
  work="$root/$build/corpus/$t"
  mkdir -p "$work"
  log="$root/$build/$t.log"
  echo "== $t for ${seconds}s"
  if (cd "$build" && "./$t" -max_total_time="$seconds" -max_len="${max_len[$t]:-4096}" \
        -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
        "$work" "$root/fuzz/corpus/$t") >"$log" 2>&1; then
    echo "   $(grep -E 'stat::number_of_executed_units' "$log" | awk '{print $2}') executions, corpus $(ls "$work" | wc -l) inputs"
  else
    status=1
    echo "   FAILED; last lines of $log:"
    tail -n 40 "$log"
  fi
done
echo "== fuzz stage $([ $status = 0 ] && echo passed || echo FAILED) in $(( $(date +%s) - started ))s"
exit $status
