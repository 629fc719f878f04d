# shellcheck shell=bash
# Sourced by the CI scripts: what more than one of them needs.

# Runs a command as root (directly when already root).
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# pip warns about a configured local index that does not exist on every
# machine; a pipe through this drops those lines.
quiet_pip() { grep -v 'is ignored: it is neither a file nor a directory' || true; }

# Installs the Debian packages named that are not installed yet (quietly;
# nothing when all are there).
install_missing_debs() {
  local missing=() p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The Debian archive address in this machine's apt sources (deb822 or
# one-line format), for trees of releases the host does not list.
debian_archive_uri() {
  local codename uri
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  uri=$(awk -v c="$codename" '/^URIs:/ {u=$2} /^Suites:/ {for (i = 2; i <= NF; i++) if ($i == c) {print u; exit}}' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null)
  [ -n "$uri" ] || uri=$(awk -v c="$codename" '$1 == "deb" && $3 == c {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
  [ -n "$uri" ] || { echo "no Debian archive address in the host's apt sources" >&2; return 1; }
  echo "$uri"
}

# mmdebstrap options every tree uses: the machine's clock may run past the
# archive's Release validity window, which apt would otherwise refuse.
mmdebstrap_aptopts=(--aptopt='Acquire::Check-Valid-Until "false"')

# auditwheel (from the bin directory $1) names the manylinux policy the wheel
# $2 satisfies (it may need from the system only libraries every such policy
# allows) and repairs it to that tag into the directory $3; the repaired
# wheel must carry the tag and pass again. Logs go to $4.*.log. Sets
# `policy`, `repaired` and `system_libraries`; fails, saying why, otherwise.
audit_wheel() {
  local bin=$1 raw=$2 out=$3 log=$4
  policy_of() { grep -v '^INFO' "$1" | tr '\n' ' ' | tr -s ' ' | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p'; }
  PATH="$bin:$PATH" auditwheel show "$raw" >"$log.show.log" 2>&1 || { cat "$log.show.log"; return 1; }
  policy=$(policy_of "$log.show.log")
  [ -n "$policy" ] || { cat "$log.show.log"; echo "auditwheel found no manylinux policy $(basename "$raw") satisfies"; return 1; }
  system_libraries=$(grep -v '^INFO' "$log.show.log" | tr '\n' ' ' | tr -s ' ' | sed -n 's/.*system-provided shared libraries: \(.*\) This constrains.*/\1/p')
  rm -rf "$out"
  PATH="$bin:$PATH" auditwheel repair --wheel-dir "$out" "$raw" >"$log.repair.log" 2>&1 || { tail -n 30 "$log.repair.log"; return 1; }
  repaired=$(ls "$out"/*.whl)
  if grep -qi 'grafting' "$log.repair.log"; then echo "auditwheel grafted libraries into the wheel:"; grep -i graft "$log.repair.log"; fi
  case $(basename "$repaired") in
    *-"$policy"*.whl) ;;
    *) echo "$(basename "$repaired") does not carry $policy"; return 1 ;;
  esac
  PATH="$bin:$PATH" auditwheel show "$repaired" >"$log.repaired.log" 2>&1 || { cat "$log.repaired.log"; return 1; }
  [ "$(policy_of "$log.repaired.log")" = "$policy" ] || { cat "$log.repaired.log"; return 1; }
}

# Runs every example with the interpreter command "$@" (from the current
# directory) and then the wrong-argument cases, which must print a usage line
# and exit with status 2, never a traceback. Needs `repo` (the checkout) and
# `examples_out` (a directory for their output). Prints a line per example
# and sets `examples_passed` and `examples_failed`.
run_examples() {
  local ex rc case words
  examples_passed=0 examples_failed=0
  for ex in "$repo"/examples/*.py; do
    if "$@" "$ex" >"$examples_out/$(basename "$ex").out" 2>&1; then
      examples_passed=$((examples_passed + 1)); echo "ok   $(basename "$ex")"
    else
      examples_failed=$((examples_failed + 1)); echo "FAIL $(basename "$ex")"; tail -n 20 "$examples_out/$(basename "$ex").out"
    fi
  done
  local bad_args=("large_file_search.py ten" "large_file_search.py -5" "large_file_search.py 1 2"
    "to_json.py only-a-file" "to_json.py /nonexistent.xml catalog"
    "to_json.py $repo/examples/data/catalog.xml nosuchroot" "tour.py extra" "build_and_write.py extra"
    "many_files.py only-a-dir" "many_files.py . orders --workers 0" "dask_files.py only-a-dir")
  for case in "${bad_args[@]}"; do
    read -r -a words <<<"$case"
    rc=0
    "$@" "$repo/examples/${words[0]}" "${words[@]:1}" >"$examples_out/usage.out" 2>&1 || rc=$?
    if [ "$rc" -eq 2 ] && grep -q '^usage: ' "$examples_out/usage.out" && ! grep -q Traceback "$examples_out/usage.out"; then
      examples_passed=$((examples_passed + 1)); echo "ok   $case -> $(tail -n 1 "$examples_out/usage.out")"
    else
      examples_failed=$((examples_failed + 1)); echo "FAIL $case (exit $rc)"; tail -n 20 "$examples_out/usage.out"
    fi
  done
}
