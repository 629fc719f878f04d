#!/usr/bin/env bash
# Runs the whole Python test suite on a real aarch64 CPython with the module
# cross-built for aarch64 (NEON backend), all under qemu-user.
#
#  1. an arm64 Debian tree of the host's release (unpacked only, no maintainer
#     scripts, so no binfmt_misc is needed), with CPython, its headers and the
#     test dependencies from Debian's arm64 packages; its .pyc files are
#     compiled once. The tree is cached per machine, keyed by release and
#     package list, outside the checkout (CI runs in a fresh clone);
#  2. the module, cross-compiled through cmake/aarch64-toolchain.cmake against
#     the tree's headers; FindPython queries the tree's own interpreter through
#     a small launcher, so version and extension suffix come from the target;
#  3. pytest on the emulated interpreter, with ORVEX_EMULATOR set so tests that
#     start a fresh interpreter go through the same emulator.
#
# Prints "arm64-python: ..." summary lines; exits non-zero when the suite fails
# or does not run.
#   ORVEX_ARM64_CACHE        where trees are kept (default ~/.cache/orvex-ci)
#   ORVEX_ARM64_PY_BUILD_DIR build directory (default build-arm64-python)
#   ORVEX_ARM64_PY_TIMEOUT   limit for the pytest run in seconds (default 900; a guard against hangs)
# Extra arguments go to pytest (e.g. a test file or -k).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
started=$(date +%s)
elapsed() { echo "$(( $(date +%s) - started ))s"; }
say() { echo "arm64-python: $*"; }

export QEMU_CPU=max,pauth=off   # pointer authentication makes emulation ~15x slower

# --- host tools ---------------------------------------------------------------
missing=()
command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(crossbuild-essential-arm64)
command -v mmdebstrap >/dev/null 2>&1 || missing+=(mmdebstrap)
command -v arch-test >/dev/null 2>&1 || missing+=(arch-test)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v flock >/dev/null 2>&1 || missing+=(util-linux)
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
qemu=$(command -v qemu-aarch64)

# --- the arm64 tree ---------------------------------------------------------------
suite=$(. /etc/os-release; echo "${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}")
packages=(python3 python3-dev python3-pytest python3-hypothesis python3-lxml libstdc++6)
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
local = {p.stem for p in root.rglob("*.py")} | {"orvex"}
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
for mod in $third_party; do
  if [ -n "${deb_for[$mod]:-}" ]; then
    packages+=("${deb_for[$mod]}")
  elif [ -z "${pip_for[$mod]:-}" ] && ! printf '%s\n' "${reqs[@]}" | grep -qiE "^$mod([^A-Za-z0-9_.-]|$)"; then
    say "warning: tests import '$mod', which neither the test extra nor .ci/arm64-python.sh provides"
  fi
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)
include=$(IFS=,; echo "${packages[*]}")

cache=${ORVEX_ARM64_CACHE:-${XDG_CACHE_HOME:-${HOME:-/var/cache}/.cache}/orvex-ci}
# The recipe's version is part of the key: bump it when the tree's preparation changes.
key=$(printf 'recipe 2\n%s\narm64\n%s\n' "$suite" "$include" | sha256sum | cut -c1-12)
root=$cache/arm64root-$suite-$key
mkdir -p "$cache"
exec 9>"$cache/arm64root.lock"
flock 9   # one tree preparation at a time on this machine
if [ ! -e "$root/.orvex-ready" ]; then
  say "preparing the arm64 $suite tree ($include)"
  rm -rf "$root" "$root.tmp"
  mmdebstrap --quiet --arch=arm64 --variant=extract --include="$include" "$suite" "$root.tmp" \
    >"$cache/mmdebstrap.log" 2>&1 || { tail -n 40 "$cache/mmdebstrap.log"; exit 1; }
  for d in bin sbin lib; do [ -e "$root.tmp/$d" ] || ln -s "usr/$d" "$root.tmp/$d"; done
  # Maintainer scripts do not run in an unpacked tree, so the alternatives
  # they would register are missing; numpy needs libblas.so.3 and liblapack.so.3.
  for lib in "$root.tmp"/usr/lib/aarch64-linux-gnu/{blas,lapack}/lib*.so.3; do
    if [ -e "$lib" ] && [ ! -e "$(dirname "$(dirname "$lib")")/$(basename "$lib")" ]; then
      ln -s "$(basename "$(dirname "$lib")")/$(basename "$lib")" "$(dirname "$(dirname "$lib")")/$(basename "$lib")"
    fi
  done
  py=$(cd "$root.tmp/usr/bin" && ls | grep -E '^python3\.[0-9]+$' | sort -V | tail -1)
  # Without .pyc files every emulated start recompiles the standard library.
  # Never with -j: worker processes would have to start the emulator themselves.
  "$qemu" -L "$root.tmp" "$root.tmp/usr/bin/$py" -m compileall -q \
    "$root.tmp/usr/lib/$py" "$root.tmp/usr/lib/python3/dist-packages" >/dev/null 2>&1 || true
  touch "$root.tmp/.orvex-ready"
  mv "$root.tmp" "$root"
  # Trees for older package lists or releases are dead weight.
  for old in "$cache"/arm64root-*; do
    if [ -d "$old" ] && [ "$old" != "$root" ]; then rm -rf "$old"; fi
  done
  say "tree ready ($(du -sh "$root" | cut -f1)) after $(elapsed)"
else
  say "reusing the cached arm64 $suite tree $root"
fi
flock -u 9

py=$(cd "$root/usr/bin" && ls | grep -E '^python3\.[0-9]+$' | sort -V | tail -1)
emu=("$qemu" -cpu max,pauth=off -L "$root")
pyexe=$root/usr/bin/$py
read -r ext_suffix incdir pyver glibc < <("${emu[@]}" "$pyexe" -c \
  'import platform, sys, sysconfig as s; print(s.get_config_var("EXT_SUFFIX"), s.get_paths()["include"], "%d.%d" % sys.version_info[:2], platform.libc_ver()[1])')

# --- cross-build the module ---------------------------------------------------
build=${ORVEX_ARM64_PY_BUILD_DIR:-build-arm64-python}
mkdir -p "$build"
build=$(cd "$build" && pwd)
# FindPython runs the interpreter to learn its version and configuration; the
# launcher runs the tree's interpreter under the emulator.
launcher=$build/python3-aarch64
printf '#!/bin/sh\nQEMU_CPU=max,pauth=off exec %s -L %s %s "$@"\n' "$qemu" "$root" "$pyexe" >"$launcher"
chmod +x "$launcher"
# Debian's pyconfig.h includes <aarch64-linux-gnu/python3.X/pyconfig.h>: the
# tree's include directory goes after the cross compiler's own headers.
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-idirafter $root/usr/include" \
  -DORVEX_BUILD_MODULE=ON -DORVEX_BUILD_TESTS=OFF -DORVEX_FORCE_SCALAR=OFF \
  -DPython_EXECUTABLE="$launcher" \
  -DPython_INCLUDE_DIR="$incdir" \
  >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target orvex -j2 >"$build.build.log" 2>&1 || { tail -n 60 "$build.build.log"; exit 1; }

# --- an emulated venv with the module installed ---------------------------------
# Like the x86_64 stage, the suite runs against an installed module: a venv of
# the tree's interpreter (seeing the tree's dist-packages as the fallback for
# test dependencies) gets whatever the project's install rules put next to the
# module (the type stub). Cross builds do not let every CMake version ask the
# target interpreter for its extension suffix, so the module may come out as
# plain orvex.so: it is given the tree's own name.
venv=$build/venv
rm -rf "$venv"
"${emu[@]}" "$pyexe" -m venv --without-pip --system-site-packages "$venv"
vpy=$venv/bin/$py
site=$("${emu[@]}" "$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
staged=$build/install
rm -rf "$staged"
cmake --install "$build" --prefix "$staged" >/dev/null
built=$(ls "$staged"/orvex*.so 2>/dev/null | head -n 1 || true)
[ -n "$built" ] || { say "the install rules put no module in $staged"; ls -R "$staged"; exit 1; }
module=$site/orvex$ext_suffix
mv "$built" "$module"
cp -R "$staged"/. "$site"/
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
platforms=(--platform manylinux2014_aarch64)
for ((minor = 17; minor <= ${glibc#2.}; minor++)); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
if [ ${#reqs[@]} -gt 0 ] && python3 -m pip install --quiet --disable-pip-version-check --no-warn-conflicts \
     --target "$deps" --only-binary=:all: --python-version "$pyver" --implementation cp \
     --abi "cp${pyver/./}" --abi abi3 --abi none "${platforms[@]}" \
     "${reqs[@]}" >"$build.pip.log" 2>&1; then
  if [ "$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$pyver" ]; then
    # pip compiled the .pyc files for the host's version: compile for the tree's.
    "${emu[@]}" "$pyexe" -m compileall -q "$deps" >/dev/null 2>&1 || true
  fi
  say "test dependencies from PyPI as aarch64 wheels: $(cd "$deps" && ls -d -- *.dist-info | sed 's/\.dist-info$//' | tr '\n' ' ')"
  cp -R "$deps"/. "$site"/
else
  say "warning: no aarch64 wheels of the test dependencies (see $build.pip.log): using Debian's packages"
fi

# --- the suite ------------------------------------------------------------------
# Each emulated interpreter is one busy host thread, so the collected tests are
# dealt round-robin to one pytest process per core (a tiny plugin in the venv;
# neighbours in collection order, such as one heavy test's parameters, land in
# different processes). Nothing from the host's environment may leak into the
# emulated interpreter's module search: it finds the venv, and through it the
# tree, from its location.
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
    env -u PYTHONHOME -u PYTHONPATH -u VIRTUAL_ENV \
      ORVEX_EMULATOR="$(printf '%q ' "${emu[@]}")" \
      ORVEX_EXPECT_BACKEND=neon \
      ORVEX_CI_SHARD="$k/$jobs" \
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
say "pytest on $py aarch64 under qemu (NEON backend, $jobs processes): $summary"
say "skipped on aarch64: $skips (reasons listed above as SKIPPED lines)"
say "stage time: $(elapsed)"
exit $status
