#!/usr/bin/env bash
# Distribution check: builds the sdist, then the wheel from that sdist (so a
# file missing from the sdist breaks the build here rather than for a user),
# inspects both, installs the wheel into a fresh virtual environment and runs
# the Python test suite and the examples against the installed copy. The
# native tests are test.sh's job.
#   PYTHON      interpreter to build and test with (default: python3)
#   ORVEX_WHEEL_DIR  work directory (default: .ci/cache/wheel; emptied first)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
PY=${PYTHON:-python3}
work=${ORVEX_WHEEL_DIR:-$repo/.ci/cache/wheel}
rm -rf "$work"
mkdir -p "$work/dist"

# pip warns about a configured local index that does not exist on every machine.
quiet_pip() { grep -v 'is ignored: it is neither a file nor a directory' || true; }

echo "== wheel: build tools"
"$PY" -m venv "$work/build-venv"
"$work/build-venv/bin/python" -m pip install -q --upgrade pip build 2>&1 | quiet_pip

echo "== wheel: sdist, then wheel from the sdist"
t0=$(date +%s)
# Without --sdist/--wheel, build makes the sdist and then builds the wheel
# from the unpacked sdist, not from this checkout.
"$work/build-venv/bin/python" -m build --outdir "$work/dist" . >"$work/build.log" 2>&1 \
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
need = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/module.cpp", "src/orvex.pyi", "src/index/builds.h"]
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

echo "== wheel: install into a fresh venv"
"$PY" -m venv "$work/venv"
vpy="$work/venv/bin/python"
"$vpy" -m pip install -q --upgrade pip 2>&1 | quiet_pip
"$vpy" -m pip install -q "$wheel[test]" 2>&1 | quiet_pip

# Run from outside the checkout so nothing there can shadow the installed module.
cd "$work"
"$vpy" - <<'EOF'
import os, sys, orvex
here = os.path.dirname(orvex.__file__)
assert here.startswith(sys.prefix), f"orvex imported from {here}, not from the venv"
assert os.path.exists(os.path.join(here, "orvex.pyi"))
print("installed at", here)
EOF

echo "== wheel: python tests against the installed wheel"
status=0
"$vpy" -m pytest -q -p no:cacheprovider "$repo/tests" 2>&1 | tee "$work/pytest.log" || status=$?

echo "== wheel: examples"
ex_pass=0 ex_fail=0
for ex in "$repo"/examples/*.py; do
  if "$vpy" "$ex" >"$work/$(basename "$ex").out" 2>&1; then
    ex_pass=$((ex_pass + 1)); echo "ok   $(basename "$ex")"
  else
    ex_fail=$((ex_fail + 1)); echo "FAIL $(basename "$ex")"; tail -n 20 "$work/$(basename "$ex").out"
  fi
done
[ $ex_fail -eq 0 ] || status=1

echo "== wheel: summary"
echo "wheel: $(basename "$wheel") $(( $(stat -c %s "$wheel") / 1024 )) KiB, sdist $(( $(stat -c %s "$sdist") / 1024 )) KiB, built (sdist then wheel) in ${build_seconds}s"
echo "wheel pytest: $(grep -E '[0-9]+ (passed|failed)|no tests ran' "$work/pytest.log" | tail -n 1)"
echo "wheel examples: $ex_pass passed, $ex_fail failed"
exit $status
