# Sourced by the CI scripts that make Debian trees with mmdebstrap.

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
