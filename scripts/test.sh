#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite under ASan and UBSan and under
# TSan, a minute of fuzzing of the message reader, the Windows suites under Wine (x86_64 whole,
# i686 as a smoke program), then the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j"$jobs" >/dev/null
native=0
(cd build/native && ctest --output-on-failure -j"$jobs") >build/native-ctest.log 2>&1 || native=$?

# The native suite again with memory errors, leaks and undefined behaviour made fatal.
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKW_SANITIZE=ON -DKW_BUILD_TOOLS=ON >/dev/null
cmake --build build/asan -j"$jobs" >/dev/null
asan=0
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j"$jobs") \
  >build/asan-ctest.log 2>&1 || asan=$?

# The native suite again under ThreadSanitizer; the first report fails the run. Left out: the
# fault translator's tests (TSan's own SIGSEGV handling cannot host a handler that throws).
# Suppressions, each with its reason: tests/tsan.supp.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DKW_SANITIZE_THREAD=ON >/dev/null
cmake --build build/tsan -j"$jobs" >/dev/null
tsan=0
suppressions="$PWD/tests/tsan.supp"
(cd build/tsan && TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$suppressions" \
  ctest --output-on-failure -j"$jobs" -E '^Translator\.') >build/tsan-ctest.log 2>&1 || tsan=$?

# Fuzz the message reader for a minute from the shared wire vectors. Inputs stay under 4 KiB, so
# a single allocation of 16 MiB is already a bug.
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKW_FUZZ=ON -DKW_SHARED=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j"$jobs" >/dev/null
rm -rf build/fuzz/corpus
mkdir -p build/fuzz/corpus build/fuzz/artifacts
fuzz=0
build/fuzz/bin/kwfuzz_msg -max_total_time=60 -max_len=4096 -malloc_limit_mb=16 -rss_limit_mb=1024 \
  -seed=1 -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus build/fuzz/tests/fuzz/seeds \
  >build/fuzz.log 2>&1 || fuzz=$?

# Benchmarks are built, not run, so they cannot rot: build/bench/bin/kwbench_*
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKW_BUILD_BENCH=ON -DKW_BUILD_TESTS=OFF \
  -DKW_BUILD_TOOLS=OFF >/dev/null
cmake --build build/bench -j"$jobs" --target kwbench_msg kwbench_trace kwbench_transport kwbench_exception \
  >/dev/null

cmake -S . -B build/win -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/win -j"$jobs" >/dev/null
# 32-bit Windows, the suite's own platform: the library, kwtool and every test program.
cmake -S . -B build/win32 -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake >/dev/null
cmake --build build/win32 -j"$jobs" >/dev/null

# A private prefix, warmed with its server's output detached so ctest cannot hang on it.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY
wine=/usr/lib/wine
"$wine/wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
(setsid "$wine/wineserver" -p </dev/null >/dev/null 2>&1 &)
"$wine/wine64" wineboot </dev/null >/dev/null 2>&1 || true
windows=0
(cd build/win && ctest --output-on-failure --timeout 300) >build/win-ctest.log 2>&1 || windows=$?

# i686 under wine32, in the same prefix. Where i386 code runs under qemu a process takes about a
# minute to start, so one smoke program (and a child of it) stands for the suite, and kwtool's
# bytes are compared with the other builds'. Output goes to files: a pipe would be held open by
# the server's helpers. Under qemu Wine reports every fault as an illegal instruction, which
# the translator's own cases cannot take; where i386 runs natively they run too.
win32_started=$SECONDS
smoke_filter='Smoke.*:WireVectors.*'
[ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] ||
  smoke_filter="Smoke.*:WireVectors.*:Translator.*-Translator.Mode*:Translator.AnUnregistered*"
encode=(encode MsgType=APPLICATION_CHANGE ApplicationHash:hex=00017f80ff Signature:str=sig HWND=0x1234)
timeout 1200 cmake/wine32-run.sh build/win32/bin/kwtool.exe "${encode[@]}" </dev/null \
  >build/win32-kwtool.txt 2>/dev/null &
kwtool32=$!
win32=0
timeout 2400 cmake/wine32-run.sh build/win32/bin/kwtest_smoke32.exe --gtest_filter="$smoke_filter" \
  </dev/null >build/win32-smoke.log 2>&1 || win32=$?
wait $kwtool32 || true
cmake/wine-run.sh build/win/bin/kwtool.exe "${encode[@]}" </dev/null >build/win-kwtool.txt 2>/dev/null ||
  true
build/native/bin/kwtool "${encode[@]}" >build/native-kwtool.txt 2>/dev/null || true
kwtool_bytes=0
for target in win win32; do
  tr -d '\r' <build/$target-kwtool.txt | cmp -s - build/native-kwtool.txt || kwtool_bytes=1
done
[ -s build/native-kwtool.txt ] || kwtool_bytes=1
win32_seconds=$((SECONDS - win32_started))
"$wine/wineserver" -k >/dev/null 2>&1 || true

# The installed package, used as a developer outside this tree would: a scratch prefix,
# pkg-config and find_package, the examples natively and under Wine, the .deb through lintian
# and dpkg, the Windows zips, the API reference. Reuses the builds above.
install=0
scripts/install-test.sh build/native build/win build/win32 >build/install-test.out 2>&1 || install=$?

# ctest's closing lines: the pass count, the time, the tests that skipped.
summary() { sed -n '/tests passed\|tests failed/,$p' "$1"; }
# What each failing test printed, up to the next test's line.
failures() {
  awk '/\*\*\*(Failed|Exception|Timeout)|[0-9]+ - .*\(Timeout\)/ { show = 1; n = 0; print; next }
       /^ *Start +[0-9]+:|^ *[0-9]+\/[0-9]+ Test +#|tests passed|tests failed/ { show = 0 }
       show && n++ < 60 { print }' "$1"
}

echo "== native (Linux) suite"
summary build/native-ctest.log
[ "$native" = 0 ] || failures build/native-ctest.log
echo "== native suite under ASan+UBSan"
[ "$asan" = 0 ] || failures build/asan-ctest.log
summary build/asan-ctest.log
echo "== native suite under ThreadSanitizer (fault translator left out)"
[ "$tsan" = 0 ] || failures build/tsan-ctest.log
summary build/tsan-ctest.log
echo "== fuzzing Msg::fromByteArray"
[ "$fuzz" = 0 ] || grep -E 'ERROR|SUMMARY|threw|serialised|Test unit written' build/fuzz.log || true
grep -E '^(#[0-9]+[[:space:]]+DONE|Done [0-9]+ runs)' build/fuzz.log || true
echo "== installed package (scripts/install-test.sh)"
if [ "$install" = 0 ]; then tail -1 build/install-test.out; else
  tail -1 build/install-test.out
  awk '/^== /{name=$0} /FAILED/{print name}' build/install-test/log 2>/dev/null
  grep -B40 -m3 'FAILED' build/install-test/log 2>/dev/null | tail -60
fi
echo "== Windows i686 smoke program under wine32 (${win32_seconds} s)"
grep -E '^\[  (PASSED|FAILED|SKIPPED) |^\[==========\] [0-9]+ tests? ' build/win32-smoke.log | tr -d '\r' || true
[ "$win32" = 0 ] || { echo "smoke program exit code $win32"; grep -B2 -A12 'Failure' build/win32-smoke.log | tr -d '\r' | head -80; }
if [ "$kwtool_bytes" = 0 ]; then
  echo "kwtool encode: the same bytes from the Linux, x86_64 and i686 builds"
else
  echo "kwtool encode differs: Linux '$(cat build/native-kwtool.txt)'," \
    "x86_64 '$(tr -d '\r' <build/win-kwtool.txt)', i686 '$(tr -d '\r' <build/win32-kwtool.txt)'"
fi
echo "== Windows suite under wine64"
[ "$windows" = 0 ] || failures build/win-ctest.log
summary build/win-ctest.log
[ "$native" = 0 ] && [ "$asan" = 0 ] && [ "$tsan" = 0 ] && [ "$fuzz" = 0 ] && [ "$windows" = 0 ] &&
  [ "$win32" = 0 ] && [ "$kwtool_bytes" = 0 ] && [ "$install" = 0 ]
