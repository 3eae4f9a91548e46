#!/usr/bin/env bash
# Builds and runs every test: the native suite, then the Windows suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j"$jobs" >/dev/null
native=0
(cd build/native && ctest --output-on-failure -j"$jobs") >build/native-ctest.log 2>&1 || native=$?

cmake -S . -B build/win -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/win -j"$jobs" >/dev/null

# A private prefix, warmed with its server's output detached so ctest cannot hang on it.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY
wine=/usr/lib/wine
"$wine/wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
(setsid "$wine/wineserver" -p </dev/null >/dev/null 2>&1 &)
"$wine/wine64" wineboot </dev/null >/dev/null 2>&1 || true
windows=0
(cd build/win && ctest --output-on-failure --timeout 300) >build/win-ctest.log 2>&1 || windows=$?
"$wine/wineserver" -k >/dev/null 2>&1 || true

echo "== native (Linux) suite"
tail -n 4 build/native-ctest.log
[ "$native" = 0 ] || grep -E 'Failed|\*\*\*' build/native-ctest.log || true
echo "== Windows suite under wine64"
[ "$windows" = 0 ] || grep -E 'Failed|\*\*\*' build/win-ctest.log || true
tail -n 4 build/win-ctest.log
[ "$native" = 0 ] && [ "$windows" = 0 ]
