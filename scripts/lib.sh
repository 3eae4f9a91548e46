# Shared by the scripts (sourced, bash): Debian packages by need, the Wine settings, and stages
# that report as they run.

kw_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kw_wine=/usr/lib/wine

# The project's version, and the SONAME version of the shared library: major.minor while the
# major version is 0 (a minor version may change the interface), else the major version.
kw_version() { sed -n 's/^project(kwbase VERSION \([0-9.]*\).*/\1/p' "$kw_root/CMakeLists.txt"; }
kw_soversion() {
  local version
  version=$(kw_version)
  case $version in 0.*) echo "${version%.*}" ;; *) echo "${version%%.*}" ;; esac
}

# --- Debian packages --------------------------------------------------------------------------

kw_apt() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -qq "$@" >/dev/null
}

# Installs those of the packages given that are missing; one apt-get update for the run.
kw_apt_install() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "setup: installing ${missing[*]}"
  if [ -z "${kw_apt_updated:-}" ]; then
    kw_apt update
    kw_apt_updated=1
  fi
  kw_apt install -y --no-install-recommends "${missing[@]}"
}

# The mirror this machine's own apt sources name for Debian's bookworm suite (one-line or deb822
# files), so that a local mirror or proxy serves the suites added beside it too.
kw_debian_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                       if ($(i + 1) == "bookworm") { print $i; found = 1; exit } }
         END { exit !found }' "$f" && return 0
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
         { uris = ""; suites = ""; types = ""; enabled = 1
           for (i = 1; i <= NF; i++) {
             if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
             else if ($i ~ /^Suites:/) suites = " " $i " "
             else if ($i ~ /^Types:/) types = " " $i " "
             else if ($i ~ /^Enabled:[ \t]*[Nn]o/) enabled = 0
           }
           if (enabled && types ~ / deb / && suites ~ /[ \t]bookworm[ \t]/) {
             split(uris, u, /[ \t]+/); print u[1]; found = 1; exit } }
         END { exit !found }' "$f" && return 0
  done
  return 1
}

# Adds bookworm-backports from the machine's own mirror, unless a source names it already.
kw_add_backports() {
  local mirror
  grep -rqsE '^deb .*bookworm-backports|^Suites:.*bookworm-backports' \
    /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
  mirror=$(kw_debian_mirror) || {
    echo "setup: no apt source names Debian bookworm, so no mirror for bookworm-backports" >&2
    return 1
  }
  echo "setup: adding bookworm-backports from $mirror"
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\n' "$mirror" \
    >/etc/apt/sources.list.d/bookworm-backports.sources
  kw_apt update
}

# --- Wine -------------------------------------------------------------------------------------

# Quiet and headless, no Mono or Gecko prompt, and no debugger that would turn a crash into an
# exit code of 0. With an argument, that folder is the prefix.
kw_wine_env() {
  [ -z "${1:-}" ] || export WINEPREFIX=$1
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  unset DISPLAY
}

# Starts the prefix's server with its output detached: its helpers would otherwise hold the
# caller's pipes open (ctest would hang), and every program would wait for a new server.
kw_wine_warm() {
  kw_wine_env "$1"
  "$kw_wine/wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
  (setsid "$kw_wine/wineserver" -p </dev/null >/dev/null 2>&1 &)
  "$kw_wine/wine64" wineboot </dev/null >/dev/null 2>&1 || true
}

kw_wine_stop() {
  "$kw_wine/wineserver" -k >/dev/null 2>&1 || true
}

# --- Stages -----------------------------------------------------------------------------------

kw_stages_passed=()
kw_stages_failed=()

# Runs the function stage_NAME with its output in LOG_DIR/NAME.log, saying when it starts and
# how it ended, with its time. A failing stage shows what failed: report_NAME when there is one,
# else the end of its log. Notes from kw_note show while the stage runs.
kw_stage() {
  local name=$1 log_dir=$2 log started status
  log=$log_dir/$name.log
  mkdir -p "$log_dir"
  started=$SECONDS
  echo "== $name: started $(date +%H:%M:%S)"
  # A subshell: what a stage exports or changes stays with it.
  ("stage_$name" 3>&1 >"$log" 2>&1)
  status=$?
  if [ "$status" = 0 ]; then
    echo "== $name: PASS in $((SECONDS - started)) s"
    kw_stages_passed+=("$name")
  else
    echo "== $name: FAIL (exit $status) in $((SECONDS - started)) s; its output: $log"
    if declare -F "report_$name" >/dev/null; then
      "report_$name" "$log"
    else
      tail -n 60 "$log"
    fi
    kw_stages_failed+=("$name")
  fi
  return "$status"
}

# A line on the terminal while a stage runs (its own output goes to its log).
kw_note() {
  { echo "   $*" >&3; } 2>/dev/null || true
}
