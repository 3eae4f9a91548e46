#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite under ASan and UBSan and under
# TSan, a minute of fuzzing of the message reader, the Windows suite under Wine, then the
# installed package.
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
cmake --build build/bench -j"$jobs" --target kwbench_msg kwbench_transport kwbench_exception >/dev/null

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

# The installed package, used as a developer outside this tree would: a scratch prefix,
# pkg-config and find_package, the examples natively and under Wine, the .deb through lintian
# and dpkg, the Windows zip, the API reference. Reuses the two builds above.
install=0
scripts/install-test.sh build/native build/win >build/install-test.out 2>&1 || install=$?

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
echo "== Windows suite under wine64"
[ "$windows" = 0 ] || failures build/win-ctest.log
summary build/win-ctest.log
[ "$native" = 0 ] && [ "$asan" = 0 ] && [ "$tsan" = 0 ] && [ "$fuzz" = 0 ] && [ "$windows" = 0 ] &&
  [ "$install" = 0 ]
