#!/usr/bin/env bash
# Installs orvex and its test dependencies into the active Python environment,
# then runs the whole test suite: the native GoogleTest suite (through CTest)
# and the Python suite (pytest) against the installed module.
set -euo pipefail
cd "$(dirname "$0")"
PY=${PYTHON:-python3}

# shellcheck source=.ci/common.sh
. .ci/common.sh

# GoogleTest comes from Debian's packages.
if [ ! -e /usr/src/googletest/CMakeLists.txt ] && [ ! -e /usr/include/gtest/gtest.h ]; then
  install_missing_debs googletest libgtest-dev
fi
command -v cmake >/dev/null || "$PY" -m pip install -q cmake ninja

"$PY" -m pip install -q '.[test]'

echo "== native tests"
cmake -S . -B build/native -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_MODULE=OFF >/dev/null
cmake --build build/native -j2 >/dev/null
ctest --test-dir build/native --output-on-failure -j2 | tail -n 4

echo "== python tests"
"$PY" -m pytest -q -p no:cacheprovider "$@"
