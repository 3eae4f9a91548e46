#!/usr/bin/env bash
# Installs what the build and the tests need, once. Safe to run again.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev libboost-dev libboost-stacktrace-dev
  libprotobuf-dev protobuf-compiler
  libsqlite3-dev
  libunwind-dev libdw-dev pkg-config
  libx11-6 libx11-dev xvfb
  g++-mingw-w64-x86-64 wine64
  doxygen help2man lintian zip dpkg-dev
  g++-mingw-w64-i686-posix
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq >/dev/null
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# 32-bit Windows programs run under wine32. Where the kernel cannot execute
# i386 programs itself, qemu's user emulation runs them, registered with
# binfmt_misc before the i386 packages install (their scripts run i386 code).
tiny_i386() {
  local file
  file=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$file"
  chmod +x "$file"
  "$file" 2>/dev/null
  local result=$?
  rm -f "$file"
  return $result
}
# qemu comes from bookworm-backports (10.x, one static binary per target): Debian 12's own 7.2
# loses signals of wine32 processes that fault and lets them crash.
binfmt=/proc/sys/fs/binfmt_misc
if [ -e "$binfmt/qemu-i386" ] || ! tiny_i386; then
  if ! dpkg-query -W -f='${Version}' qemu-user 2>/dev/null | grep -q '^1:1[0-9]'; then
    echo "setup: installing qemu-user from bookworm-backports (this kernel runs no i386 programs)"
    grep -rqs '^deb .*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/ ||
      echo 'deb http://deb.debian.org/debian bookworm-backports main' \
        >/etc/apt/sources.list.d/bookworm-backports.list
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=900 update -qq >/dev/null
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
      -t bookworm-backports qemu-user >/dev/null
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
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq >/dev/null
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends wine32:i386 >/dev/null
fi
