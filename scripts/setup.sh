#!/usr/bin/env bash
# Installs what the named jobs need, and only that; safe to run again.
#
#   scripts/setup.sh [NEED...]     without a NEED: all of them
#
#   build   the library and kwtool (what the demo needs)
#   native  the Linux test suite (also under ASan and TSan)
#   fuzz    the message fuzzer (clang, libFuzzer)
#   bench   the benchmarks (Google Benchmark, Boost, protobuf)
#   win64   the x86_64 Windows build and wine64
#   win32   the i686 Windows build and wine32 (with qemu where the kernel runs no i386 programs)
#   install the installed package's checks: lintian, dpkg-dev, zip, help2man, Doxygen, and the
#           Windows cross compilers and wine64 for the zips
#   docs    the API reference (Doxygen)
#   abi     the interface check (abi-dumper, abi-compliance-checker)
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;; esac
. "$(dirname "$0")/lib.sh"

all_needs=(build native fuzz bench win64 win32 install docs abi)

packages_build=(cmake make g++ pkg-config libsqlite3-dev libunwind-dev libdw-dev libdeflate-dev
  libx11-dev)
packages_native=("${packages_build[@]}" googletest libgtest-dev libx11-6 xvfb)
packages_fuzz=("${packages_build[@]}" clang libclang-rt-14-dev)
packages_bench=("${packages_build[@]}" libbenchmark-dev libboost-dev libboost-stacktrace-dev
  libprotobuf-dev protobuf-compiler)
packages_win64=(cmake make googletest g++-mingw-w64-x86-64 wine64)
packages_win32=(cmake make googletest g++-mingw-w64-i686-posix wine64)
packages_install=("${packages_build[@]}" help2man lintian zip dpkg-dev doxygen graphviz
  g++-mingw-w64-x86-64 g++-mingw-w64-i686-posix wine64)
packages_docs=(doxygen graphviz)
packages_abi=("${packages_build[@]}" abi-dumper abi-compliance-checker)

# 32-bit Windows programs run under wine32. Where the kernel cannot execute i386 programs itself,
# qemu's user emulation runs them, registered with binfmt_misc before the i386 packages install
# (their scripts run i386 code).
tiny_i386() {
  local file result
  file=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$file"
  chmod +x "$file"
  "$file" 2>/dev/null
  result=$?
  rm -f "$file"
  return $result
}

# qemu comes from bookworm-backports (10.x, one static binary per target): Debian 12's own 7.2
# loses signals of wine32 processes that fault and lets them crash.
setup_i386() {
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ -e "$binfmt/qemu-i386" ] || ! tiny_i386; then
    if ! dpkg-query -W -f='${Version}' qemu-user 2>/dev/null | grep -q '^1:1[0-9]'; then
      echo "setup: installing qemu-user from bookworm-backports (this kernel runs no i386 programs)"
      kw_add_backports
      kw_apt install -y --no-install-recommends -t bookworm-backports qemu-user
      # The registration holds the emulator it was made with open: make it again.
      [ ! -e "$binfmt/qemu-i386" ] || echo -1 >"$binfmt/qemu-i386"
    fi
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    [ -e "$binfmt/qemu-i386" ] || printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' >"$binfmt/register"
    tiny_i386 || { echo "setup: i386 programs do not run, even through qemu" >&2; exit 1; }
  fi
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo "setup: installing wine32:i386"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    kw_apt update
    kw_apt install -y --no-install-recommends wine32:i386
  fi
}

needs=("$@")
((${#needs[@]})) || needs=("${all_needs[@]}")
packages=()
for need in "${needs[@]}"; do
  case " ${all_needs[*]} " in
    *" $need "*) ;;
    *) echo "setup: unknown need '$need' (known: ${all_needs[*]})" >&2; exit 2 ;;
  esac
  declare -n list=packages_$need
  packages+=("${list[@]}")
  unset -n list
done
kw_apt_install $(printf '%s\n' "${packages[@]}" | sort -u)
case " ${needs[*]} " in *" win32 "*) setup_i386 ;; esac
