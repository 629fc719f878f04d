#!/usr/bin/env bash
# Free-threaded CPython stage: the wheel built from the sdist by a
# free-threaded interpreter (cp313t here, cp314t once one is reachable),
# repaired and checked by auditwheel, installed into a fresh venv and tested
# there with the GIL off: the whole suite, then the suite's thread-safe tests
# again with several threads per test (pytest-run-parallel), and a check that
# importing orvex leaves the GIL off.
#
# The interpreter: ORVEX_FT_PYTHON when given, else a python3.14t or
# python3.13t on PATH, else CPython 3.13t built here from the source of Debian
# 13's python3.13 package (about 16 minutes on two cores) and kept under
# $ORVEX_FT_CACHE (default ~/.cache/orvex-ft) for the next run.
#   .ci/freethreaded.sh                 the whole stage
#   .ci/freethreaded.sh --interpreter   only find or build the interpreter; prints its path
#   ORVEX_FT_PARALLEL_THREADS           threads per test in the parallel run (default 4; 0 leaves it out)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# shellcheck source=.ci/common.sh
. .ci/common.sh
cache=${ORVEX_FT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvex-ft}
say() { echo "freethreaded: $*"; }

is_free_threaded() {
  "$1" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null
}

build_interpreter() {
  local prefix=$cache/py313t uri C t0 src
  if is_free_threaded "$prefix/bin/python3.13t"; then echo "$prefix/bin/python3.13t"; return; fi
  mkdir -p "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial"
  install_missing_debs build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libreadline-dev uuid-dev libgdbm-dev libncurses-dev >&2
  uri=$(debian_archive_uri) || return 1
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri trixie main" >"$cache/apt/sources.list"
  C=(-o "Dir::Etc::SourceList=$cache/apt/sources.list" -o "Dir::State::Lists=$cache/apt/lists"
     -o Dir::Etc::SourceParts=/dev/null -o "Dir::Cache=$cache/apt/cache" -o 'Acquire::Check-Valid-Until=false')
  t0=$(date +%s)
  {
    apt-get "${C[@]}" update -qq
    (cd "$cache" && apt-get "${C[@]}" source --download-only python3.13)
  } >"$cache/download.log" 2>&1 || { tail -n 20 "$cache/download.log" >&2; return 1; }
  src=$(ls "$cache"/python3.13_*.orig.tar.xz | sort -V | tail -n 1)
  rm -rf "$cache/src" && mkdir -p "$cache/src"
  tar -C "$cache/src" --strip-components=1 -xf "$src"
  (cd "$cache/src" && ./configure --disable-gil --prefix="$prefix" && make -j"$(nproc)" && make install) \
    >"$cache/build.log" 2>&1 || { tail -n 40 "$cache/build.log" >&2; return 1; }
  rm -rf "$cache/src"
  is_free_threaded "$prefix/bin/python3.13t" || { echo "the interpreter built is not free-threaded" >&2; return 1; }
  echo "built CPython 3.13t from $(basename "$src") in $(( $(date +%s) - t0 ))s" >&2
  echo "$prefix/bin/python3.13t"
}

find_interpreter() {
  local py
  for py in "${ORVEX_FT_PYTHON:-}" python3.15t python3.14t python3.13t; do
    [ -n "$py" ] || continue
    py=$(command -v "$py" 2>/dev/null) || continue
    if is_free_threaded "$py"; then echo "$py"; return; fi
  done
  build_interpreter
}

started=$(date +%s)
py=$(find_interpreter) || { say "no free-threaded interpreter could be had"; exit 1; }
if [ "${1:-}" = --interpreter ]; then echo "$py"; exit 0; fi
version=$("$py" -c 'import platform; print(platform.python_version())')
say "interpreter CPython ${version}t at $py ($(( $(date +%s) - started ))s to find or build)"

# mypy cannot be installed on a free-threaded interpreter here (a dependency
# builds only from a registry this machine cannot reach), so the wheel's venv
# gets the other test dependencies; the stub tests skip without mypy.
# hypothesis and lxml: their newest releases have no cp313t wheel; an older
# hypothesis wheel works, and lxml builds from source once (pip keeps the
# wheel it built).
work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-freethreaded.XXXXXX")
export ORVEX_WHEEL_DIR=$work ORVEX_WHEEL_TEST_DEPS="pytest hypothesis lxml xmltodict pytest-run-parallel"
export PIP_PREFER_BINARY=1
# The GIL stays off whatever the tests import (lxml's import would turn it on).
export PYTHON_GIL=0
status=0
PYTHON=$py bash .ci/wheel.sh || status=$?
vpy=$work/venv/bin/python
[ -x "$vpy" ] || { say "no venv with the wheel installed"; exit 1; }

cd "$work"
if PYTHON_GIL= "$vpy" -W error -c 'import sys, orvex; sys.exit(1 if sys._is_gil_enabled() else 0)'; then
  say "import orvex leaves the GIL off (PYTHON_GIL unset)"
else
  say "import orvex turned the GIL on"; status=1
fi

threads=${ORVEX_FT_PARALLEL_THREADS:-4}
if [ "$threads" -gt 0 ]; then
  # Each thread-safe test runs in $threads threads at once; tests marked
  # thread_unsafe (and those using fixtures that are, such as monkeypatch and
  # capsys) run once. Hypothesis tests run with their examples cut down.
  t0=$(date +%s)
  rc=0
  "$vpy" -m pytest -q -p no:cacheprovider --parallel-threads="$threads" --hypothesis-profile emulated \
    "$repo/tests" >"$work/parallel.log" 2>&1 || rc=$?
  tail -n 15 "$work/parallel.log"
  say "pytest-run-parallel ($threads threads per test): $(grep -E '[0-9]+ (passed|failed)' "$work/parallel.log" | tail -n 1) ($(( $(date +%s) - t0 ))s)"
  [ $rc -eq 0 ] || status=1
fi
cd "$repo"
say "pytest (GIL off, installed wheel): $(grep -E '[0-9]+ (passed|failed)|no tests ran' "$work/pytest.log" | tail -n 1)"
say "wheel: $(ls "$work"/wheelhouse/*.whl 2>/dev/null | xargs -r -n1 basename)"
say "stage time: $(( $(date +%s) - started ))s"
[ $status -ne 0 ] || rm -rf "$work"
exit $status
