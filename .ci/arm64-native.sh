#!/usr/bin/env bash
# Cross-builds the native GoogleTest suite for aarch64 (NEON backend) and runs
# it under qemu-user through CTest. Installs the cross toolchain, qemu and the
# GoogleTest sources only when missing. Safe to run repeatedly: the build
# directory is reused, so a second run only rebuilds what changed.
#   ORVEX_ARM64_BUILD_DIR  build directory (default: build-arm64-native)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=.ci/common.sh
. .ci/common.sh

export QEMU_CPU=max,pauth=off   # pointer authentication makes emulation ~15x slower

needed=(crossbuild-essential-arm64 qemu-user googletest)
command -v cmake >/dev/null 2>&1 || needed+=(cmake)
install_missing_debs "${needed[@]}" | sed 's/^/arm64-native: /'

build=${ORVEX_ARM64_BUILD_DIR:-build-arm64-native}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DORVEX_BUILD_MODULE=OFF -DORVEX_BUILD_TESTS=ON -DORVEX_FORCE_SCALAR=OFF >"$log" 2>&1 \
  || { cat "$log"; exit 1; }
cmake --build "$build" -j2 >"$log" 2>&1 || { grep -E 'error|Error' "$log" | head -n 40; tail -n 20 "$log"; exit 1; }

# --no-tests=error: a suite that registered nothing must not pass.
status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error >"$log" 2>&1 || status=$?
if [ $status -ne 0 ]; then
  grep -vE '^\s+Start +[0-9]+:|Test +#[0-9]+: .* Passed' "$log" | tail -n 80
fi
summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 || true)
echo "arm64-native: ctest under qemu-aarch64 (NEON backend):"
echo "${summary:-no ctest summary line: the suite did not run}"
[ -n "$summary" ] || status=1
exit $status
