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
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
