#!/usr/bin/env bash
# The release: the sdist and every wheel this machine can make, each built
# from that sdist, repaired and checked by auditwheel and tested installed in
# a fresh environment, left in dist/ with a SHA256SUMS list. Its parts, one
# after the other, each also a CI stage:
#   x86_64, the main python3            .ci/wheel.sh (makes the sdist the others build from)
#   x86_64, every other CPython here     .ci/interpreters.sh (pyenv's; 3.14 and 3.15 in a forky chroot)
#   x86_64, free-threaded CPython        .ci/freethreaded.sh (cp313t, or cp314t once reachable)
#   aarch64, CPython 3.14 and 3.11       .ci/arm64-python.sh (forky and bookworm trees, under qemu)
# Part logs go to $ORVEX_RELEASE_LOGS (default .ci/cache/logs), one per part.
# The bookworm aarch64 wheel is the one part that gives way to time: it is
# left out once ORVEX_RELEASE_OPTIONAL_UNTIL seconds (default 2700) have passed
# since ORVEX_RELEASE_STARTED (default: when this script started), so a CI run
# stays well within its limit.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
started=${ORVEX_RELEASE_STARTED:-$(date +%s)}
optional_until=${ORVEX_RELEASE_OPTIONAL_UNTIL:-2700}
logs=${ORVEX_RELEASE_LOGS:-$repo/.ci/cache/logs}
mkdir -p "$logs"
rm -rf dist
status=0
part_names=() part_seconds=()

# part NAME LOG COMMAND...: runs one part, its output to the terminal and its log.
part() {
  local name=$1 log=$2 t0 rc=0
  shift 2
  t0=$(date +%s)
  echo; echo "===== release: $name ($(( t0 - started ))s)"
  "$@" 2>&1 | tee "$logs/$log.log" || rc=$?
  [ $rc -eq 0 ] || { status=1; echo "release: $name failed (exit $rc)"; }
  part_names+=("$name") part_seconds+=($(( $(date +%s) - t0 )))
}

part "x86_64: sdist, wheel for $(python3 -c 'import platform; print(platform.python_version())'), auditwheel, tests against the installed wheel" \
  wheel bash .ci/wheel.sh
sdist=$(ls dist/orvex-*.tar.gz 2>/dev/null | head -n 1)
[ -n "$sdist" ] || { echo "release: no sdist was made"; exit 1; }
export ORVEX_SDIST=$repo/$sdist

part "x86_64: wheels for the other CPython interpreters (3.12, 3.13; 3.14 and 3.15 in a Debian forky chroot)" \
  interpreters bash .ci/interpreters.sh
part "x86_64: free-threaded CPython wheel, the suite with the GIL off and under pytest-run-parallel" \
  freethreaded bash .ci/freethreaded.sh
part "aarch64: CPython 3.14 (Debian forky) wheel, auditwheel, the suite on it under qemu" \
  arm64-python-forky env ORVEX_ARM64_SUITE=forky bash .ci/arm64-python.sh
if [ $(( $(date +%s) - started )) -le "$optional_until" ]; then
  part "aarch64: CPython 3.11 (Debian bookworm): the same" \
    arm64-python-bookworm env ORVEX_ARM64_SUITE=bookworm bash .ci/arm64-python.sh
else
  echo "arm64-python: skipped: $(( $(date +%s) - started ))s into the run, past the ${optional_until}s after which optional parts are left out" \
    | tee "$logs/arm64-python-bookworm.log"
fi

# The wheel stages each copy the sdist they built from; one is kept.
(cd dist && sha256sum orvex-*.tar.gz orvex-*.whl >SHA256SUMS)
echo; echo "===== release: dist/"
python3 - dist <<'EOF'
import os, sys, zipfile
root = sys.argv[1]
for name in sorted(os.listdir(root)):
    if not name.endswith(".whl"):
        continue
    with zipfile.ZipFile(os.path.join(root, name)) as z:
        tags = [l.split(": ", 1)[1] for l in z.read(next(n for n in z.namelist() if n.endswith(".dist-info/WHEEL"))).decode().splitlines() if l.startswith("Tag: ")]
    print(f"release wheel: {name} ({os.path.getsize(os.path.join(root, name)) // 1024} KiB; tags {', '.join(tags)})")
EOF
echo "release sdist: $(basename "$sdist")"
echo "release checksums: dist/SHA256SUMS ($(wc -l <dist/SHA256SUMS) files)"
for i in "${!part_names[@]}"; do printf 'release part: %5ss  %s\n' "${part_seconds[$i]}" "${part_names[$i]}"; done
exit $status
