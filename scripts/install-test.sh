#!/usr/bin/env bash
# Uses kwbase the way a developer outside this tree does: installs it into a
# scratch prefix, checks the headers, pkg-config and find_package against that
# prefix, builds and runs the examples against it (Linux natively, Windows
# under Wine from the unpacked zip), builds the Debian packages, runs lintian
# on them, installs and removes them with dpkg, and builds the API reference.
#
#   scripts/install-test.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR [I686_BUILD_DIR]]]
#
# Build folders that exist are reused (scripts/test.sh passes its own);
# missing ones are configured and built here. The i686 zip is made when its
# toolchain is there; its examples are built, not run (one i686 process start
# takes about a minute under emulation). The last line says PASS or FAIL; the
# details are in build/install-test/log.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
root=$PWD
# The library's Debian package is named after its SONAME version.
soversion=$(kw_soversion)
library_package=libkwbase$soversion
absolute() { case $1 in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
linux_build=$(absolute "${1:-build/pkg}")
win_build=$(absolute "${2:-build/pkg-win}")
i686_build=$(absolute "${3:-build/pkg-win32}")
out=$root/build/install-test
log=$out/log
rm -rf "$out"
mkdir -p "$out"
: >"$log"
jobs=$(nproc)
wine=$kw_wine
failed=()

# Runs one named step with its output in the log; a failing step fails the stage.
step() {
  local name=$1
  shift
  echo "== $name" >>"$log"
  if "$@" >>"$log" 2>&1; then
    echo "   ok" >>"$log"
  else
    echo "   FAILED" >>"$log"
    failed+=("$name")
  fi
}

# Configures (when new) and builds the library and kwtool of one build folder.
build_tree() {
  local dir=$1
  shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKW_BUILD_TESTS=OFF "$@" || return 1
  fi
  cmake --build "$dir" -j"$jobs" --target kwbase kwtool || return 1
  if grep -q '^KW_HELP2MAN:FILEPATH=/' "$dir/CMakeCache.txt" && ! grep -q CMAKE_CROSSCOMPILING:BOOL=ON "$dir/CMakeCache.txt" \
    && [ -d "$dir/tools" ]; then
    cmake --build "$dir" --target kwtool_man 2>/dev/null || true
  fi
}

# A consumer's translation unit: every public header, and a message round trip.
write_consumer() {
  {
    for h in include/kw/*.h; do echo "#include <kw/$(basename "$h")>"; done
    cat <<'EOF'
#include <iostream>

int main() {
  kw::Msg msg;
  msg.setType(kw::Msg::SYSTEM_STATE_CHANGE);
  msg.setAttributeValue(L"SystemState", std::wstring(L"Busy"));
  kw::ByteArray wire;
  msg.toByteArray(wire);
  kw::Msg back;
  back.fromByteArray(wire);
  std::wstring state;
  back.getAttributeValue(L"SystemState", state);
  std::cout << (state == L"Busy" && back.getType() == kw::Msg::SYSTEM_STATE_CHANGE ? "round trip ok" : "round trip BROKEN") << '\n';
  return state == L"Busy" ? 0 : 1;
}
EOF
  } >"$out/consumer.cpp"
}

# Each public header compiles on its own, strictly, in a consumer.
check_headers() {
  local cxx=$1 include=$2 h
  shift 2
  for h in "$include"/kw/*.h; do
    echo "#include <kw/$(basename "$h")>" |
      "$cxx" -std=c++17 -Wall -Wextra -Werror "$@" -I"$include" -x c++ -fsyntax-only - ||
      { echo "$h does not compile on its own"; return 1; }
  done
}

libdir_of() { dirname "$(find "$1" -name kwbase.pc | head -1)" | xargs dirname; }

install_prefix() {
  cmake --install "$linux_build" --prefix "$out/prefix" &&
    test -L "$(libdir_of "$out/prefix")/libkwbase.so.$soversion" &&
    test -f "$out/prefix/bin/kwtool" &&
    test -f "$out/prefix/share/man/man1/kwtool.1.gz"
}

# pkg-config from the scratch prefix: flags that build and run a consumer.
pkgconfig_prefix() {
  local libdir flags
  libdir=$(libdir_of "$out/prefix")
  flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs kwbase) || return 1
  echo "pkg-config --cflags --libs kwbase: $flags"
  # shellcheck disable=SC2086
  g++ -std=c++17 -Wall -Wextra -Werror "$out/consumer.cpp" -o "$out/consumer" $flags &&
    LD_LIBRARY_PATH=$libdir "$out/consumer"
}

# A sender and a receiver on a fresh channel; the receiver's trace file must
# hold every message and the rejected one's exception with its call stack.
check_trace() {
  local trace=$1 text
  text=$(iconv -f UTF-16LE -t UTF-8 "$trace" | tr -d '\r') || return 1
  echo "$text" | head -40
  [ "$(echo "$text" | grep -c ' Received ')" = 5 ] &&
    echo "$text" | grep -q 'Rejected a message.*Unknown system state (Param 1: Sleeping)' &&
    echo "$text" | grep -q 'checkState'
}

examples_linux() {
  local ex=$out/examples-linux run=$out/run-linux libdir channel=kwexample.$$.$RANDOM pid status
  libdir=$(libdir_of "$out/prefix")
  cmake -S examples -B "$ex" -DCMAKE_PREFIX_PATH="$out/prefix" -DCMAKE_BUILD_TYPE=Debug &&
    cmake --build "$ex" -j"$jobs" || return 1
  mkdir -p "$run/registry"
  export KW_REGISTRY_DIR=$run/registry XDG_DATA_HOME=$run/data
  LD_LIBRARY_PATH=$libdir "$out/prefix/bin/kwtool" reg set kwreceiverFileLogging=1 || return 1
  timeout 150 "$ex/receiver" "$channel" >"$run/receiver.out" 2>&1 &
  pid=$!
  timeout 150 "$ex/sender" "$channel" || { wait "$pid"; cat "$run/receiver.out"; return 1; }
  wait "$pid"
  status=$?
  cat "$run/receiver.out"
  unset KW_REGISTRY_DIR XDG_DATA_HOME
  [ "$status" = 0 ] && check_trace "$run/data/Kestrelwright/KWkwreceiver.log"
}

# The .deb files: lintian without errors, then dpkg -i, a consumer through the
# system's pkg-config and find_package, kwtool and its man page, and dpkg -r.
dpkg_retry() {
  local i
  for i in $(seq 1 60); do
    dpkg "$@" 2>"$out/dpkg.err" && return 0
    cat "$out/dpkg.err" >&2
    grep -q 'lock' "$out/dpkg.err" || return 1
    sleep 10  # another apt or dpkg run holds the lock
  done
  return 1
}

debian_packages() {
  local debs=("$linux_build"/packages/*.deb) deb
  echo "packages: ${debs[*]}"
  [ -f "${debs[0]}" ] || return 1
  lintian --tag-display-limit 0 "${debs[@]}" >"$out/lintian.txt" 2>&1
  cat "$out/lintian.txt"
  ! grep -q '^E: ' "$out/lintian.txt" || return 1
  dpkg_retry -r kwtool libkwbase-dev "$library_package" >/dev/null 2>&1
  dpkg_retry -i "${debs[@]}" || return 1
  local ok=0 files
  files=$(dpkg -L kwtool libkwbase-dev "$library_package" | sort -u)
  {
    pkg-config --cflags --libs kwbase &&
      g++ -std=c++17 -Wall -Wextra -Werror "$out/consumer.cpp" -o "$out/consumer-deb" \
        $(pkg-config --cflags --libs kwbase) &&
      "$out/consumer-deb" &&
      cmake -S examples -B "$out/examples-deb" &&
      cmake --build "$out/examples-deb" -j"$jobs" &&
      kwtool --help >/dev/null &&
      test -f /usr/share/man/man1/kwtool.1.gz
  } || ok=1
  dpkg_retry -r kwtool libkwbase-dev "$library_package" || ok=1
  for deb in "${debs[@]}"; do
    ! dpkg-query -W -f='${Status}' "$(dpkg-deb -f "$deb" Package)" 2>/dev/null | grep -q ' installed$' ||
      { echo "$deb still installed"; ok=1; }
  done
  # Every file the packages brought is gone (shared folders such as /usr/lib stay).
  while read -r f; do
    [ -d "$f" ] || [ ! -e "$f" ] || { echo "$f left behind"; ok=1; }
  done <<<"$files"
  [ ! -e /usr/include/kw ] || { echo "/usr/include/kw left behind"; ok=1; }
  # The library's postrm (ldconfig) keeps a dpkg record until purged; no file.
  dpkg_retry -P "$library_package" >/dev/null
  return $ok
}

build_debs() {
  rm -rf "$linux_build/packages"
  (cd "$linux_build" && cpack -G DEB)
}

# One Windows target: its zip, unpacked; headers, pkg-config's file and the
# examples built against the unpacked zip; with run=yes the pair runs under Wine.
windows_target() {
  local dir=$1 toolchain=$2 cxx=$3 run=$4 zip unpacked ex
  ex=$out/examples-$(basename "$dir")
  build_tree "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" || return 1
  rm -rf "$dir/packages"
  (cd "$dir" && cpack -G ZIP) || return 1
  zip=$(ls "$dir"/packages/*.zip) || return 1
  echo "zip: $zip"
  mkdir -p "$out/zips"
  (cd "$out/zips" && cmake -E tar xf "$zip") || return 1
  unpacked=$out/zips/$(basename "$zip" .zip)
  for f in bin/kwbase.dll bin/kwtool.exe lib/kwbase.dll.a lib/cmake/kwbase/kwbaseConfig.cmake \
    lib/pkgconfig/kwbase.pc include/kw/Msg.h; do
    [ -f "$unpacked/$f" ] || { echo "$f missing from the zip"; return 1; }
  done
  check_headers "$cxx" "$unpacked/include" || return 1
  PKG_CONFIG_PATH=$unpacked/lib/pkgconfig pkg-config --cflags --libs kwbase || return 1
  cmake -S examples -B "$ex" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_PREFIX_PATH="$unpacked" -DCMAKE_BUILD_TYPE=Debug &&
    cmake --build "$ex" -j"$jobs" || return 1
  [ -f "$ex/kwbase.dll" ] || { echo "kwbase.dll was not copied next to the examples"; return 1; }
  [ "$run" = yes ] || return 0
  local status=0
  run_under_wine "$unpacked" "$ex" || status=1
  kw_wine_stop
  return $status
}

# The example pair under wine64, in the suite's prefix, with its server warmed
# and detached as the suite's run does.
run_under_wine() {
  local unpacked=$1 ex=$2
  kw_wine_warm "$root/build/wineprefix"
  local channel=kwexample.$$.$RANDOM pid status trace
  find "$WINEPREFIX/drive_c/users" -name KWkwreceiver.log -delete 2>/dev/null
  timeout 200 "$wine/wine64" "$unpacked/bin/kwtool.exe" reg set kwreceiverFileLogging=1 </dev/null || return 1
  timeout 200 "$wine/wine64" "$ex/receiver.exe" "$channel" </dev/null >"$out/receiver-wine.out" 2>&1 &
  pid=$!
  timeout 200 "$wine/wine64" "$ex/sender.exe" "$channel" </dev/null
  status=$?
  wait "$pid" || status=1
  tr -d '\r' <"$out/receiver-wine.out"
  [ "$status" = 0 ] || return 1
  trace=$(find "$WINEPREFIX/drive_c/users" -name KWkwreceiver.log | head -1)
  [ -n "$trace" ] && check_trace "$trace"
}

write_consumer
step "Linux build" build_tree "$linux_build" -DCMAKE_INSTALL_PREFIX=/usr
step "cmake --install into a scratch prefix" install_prefix
step "public headers on their own (g++ -Wall -Wextra -Werror -Wpedantic)" \
  check_headers g++ "$out/prefix/include" -Wpedantic
step "pkg-config --cflags --libs kwbase from the prefix" pkgconfig_prefix
step "examples against the prefix (find_package), run natively" examples_linux
step "Debian packages (cpack)" build_debs
step "lintian, dpkg -i, consumers of /usr, dpkg -r" debian_packages
step "Windows x86_64 zip, examples under wine64" \
  windows_target "$win_build" cmake/mingw-w64-x86_64.cmake x86_64-w64-mingw32-g++-posix yes
if [ -f cmake/mingw-w64-i686.cmake ] && command -v i686-w64-mingw32-g++-posix >/dev/null; then
  step "Windows i686 zip, examples built" \
    windows_target "$i686_build" cmake/mingw-w64-i686.cmake i686-w64-mingw32-g++-posix no
else
  echo "== Windows i686: no toolchain here, skipped" >>"$log"
fi
step "API reference without warnings (scripts/docs.sh)" scripts/docs.sh "$out/docs"

if ((${#failed[@]})); then
  echo "install: FAIL (${failed[*]}); see build/install-test/log"
  exit 1
fi
echo "install: PASS (prefix, pkg-config, find_package, examples on Linux and under Wine, .deb, zips, API reference)"
