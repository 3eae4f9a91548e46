#!/usr/bin/env bash
# Builds and runs the tests, stage by stage, each reported as it starts and as it ends.
usage() {
  cat <<'EOF'
Usage: scripts/test.sh [STAGE...]     without a STAGE: every one, in this order

  native   the Linux suite (Debug), ctest
  asan     the Linux suite under AddressSanitizer and UndefinedBehaviorSanitizer
  tsan     the Linux suite under ThreadSanitizer (the fault translator's tests left out)
  fuzz     a minute of libFuzzer on the message reader; an input slower than 5 s is a finding
  bench    the benchmarks, built (not run) so that they cannot rot
  win64    the x86_64 Windows suite under wine64, ctest
  win32    the i686 build; its smoke program under wine32, kwtool's bytes against Linux and x86_64
  install  the installed package: scripts/install-test.sh
  abi      the interface against the release's record in abi/: scripts/abi.sh

First installs what the chosen stages need (scripts/setup.sh). Each stage's output goes to
build/test-logs/STAGE.log; a failing stage shows what failed. The run ends with each stage's
summary and one line counting the stages that passed and failed. KW_BUILD_ROOT (default: build)
is the folder of the build folders.
EOF
}
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

all_stages=(native asan tsan fuzz bench win64 win32 install abi)
b=${KW_BUILD_ROOT:-build}
logs=$b/test-logs
jobs=$(nproc)

stages=()
for arg in "$@"; do
  case $arg in
    -h | --help) usage; exit 0 ;;
    *)
      case " ${all_stages[*]} " in *" $arg "*) stages+=("$arg") ;; *)
        echo "test.sh: unknown stage '$arg'" >&2
        usage >&2
        exit 2
        ;;
      esac
      ;;
  esac
done
((${#stages[@]})) || stages=("${all_stages[@]}")

# --- builds shared by the stages --------------------------------------------------------------

# Configures and builds a folder (all of it, or the targets named).
build() {
  local dir=$1 targets=$2
  shift 2
  kw_note "building $dir"
  cmake -S . -B "$dir" "$@" || return 1
  # shellcheck disable=SC2086
  cmake --build "$dir" -j"$jobs" ${targets:+--target $targets}
}

build_native() { build "$b/native" "${1:-}" -DCMAKE_BUILD_TYPE=Debug; }
build_win() {
  build "$b/win" "${1:-}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
}

# ctest in a build folder; a run that finds no test fails.
run_ctest() {
  local dir=$1
  shift
  kw_note "ctest in $dir"
  (cd "$dir" && ctest --output-on-failure --no-tests=error "$@") || return 1
}

# ctest's closing lines: the pass count, the time, the tests that skipped.
ctest_summary() {
  sed -n '/tests passed\|tests failed\|No tests were found/,$p' "$1"
}
# The closing line of a run that executed at least one test.
ctest_ran() { grep -qE '[0-9]+% tests passed, [0-9]+ tests? failed out of [1-9]' "$1"; }
# What each failing test printed, up to the next test's line.
ctest_failures() {
  awk '/\*\*\*(Failed|Exception|Timeout)|[0-9]+ - .*\(Timeout\)/ { show = 1; n = 0; print; next }
       /^ *Start +[0-9]+:|^ *[0-9]+\/[0-9]+ Test +#|tests passed|tests failed/ { show = 0 }
       show && n++ < 60 { print }' "$1"
  grep -E -B2 '^CMake Error|error:|undefined reference' "$1" | head -60
  ctest_summary "$1"
}

# --- stages -----------------------------------------------------------------------------------

stage_native() {
  build_native && run_ctest "$b/native" -j"$jobs" && ctest_ran "$logs/native.log"
}
report_native() { ctest_failures "$1"; }
summary_native() { ctest_summary "$logs/native.log"; }

# Memory errors, leaks and undefined behaviour made fatal.
stage_asan() {
  build "$b/asan" "" -DCMAKE_BUILD_TYPE=Debug -DKW_SANITIZE=ON -DKW_BUILD_TOOLS=ON &&
    ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run_ctest "$b/asan" -j"$jobs" &&
    ctest_ran "$logs/asan.log"
}
report_asan() { ctest_failures "$1"; }
summary_asan() { ctest_summary "$logs/asan.log"; }

# The first report fails the run. Left out: the fault translator's tests (TSan's own SIGSEGV
# handling cannot host a handler that throws). Suppressions, each with its reason: tests/tsan.supp.
stage_tsan() {
  build "$b/tsan" "" -DCMAKE_BUILD_TYPE=Debug -DKW_SANITIZE_THREAD=ON &&
    TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
      run_ctest "$b/tsan" -j"$jobs" -E '^Translator\.' &&
    ctest_ran "$logs/tsan.log"
}
report_tsan() { ctest_failures "$1"; }
summary_tsan() { ctest_summary "$logs/tsan.log"; }

# A minute from the shared wire vectors. Inputs stay under 4 KiB, so a single allocation of
# 16 MiB is already a bug, and so is an input that takes seconds.
stage_fuzz() {
  build "$b/fuzz" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKW_FUZZ=ON -DKW_SHARED=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ || return 1
  rm -rf "$b/fuzz/corpus"
  mkdir -p "$b/fuzz/corpus" "$b/fuzz/artifacts"
  kw_note "fuzzing for 60 s"
  "$b/fuzz/bin/kwfuzz_msg" -max_total_time=60 -timeout=5 -max_len=4096 -malloc_limit_mb=16 \
    -rss_limit_mb=1024 -seed=1 -artifact_prefix="$b/fuzz/artifacts/" "$b/fuzz/corpus" \
    "$b/fuzz/tests/fuzz/seeds"
}
report_fuzz() {
  grep -E 'ERROR|SUMMARY|threw|serialised|Test unit written|timeout|error:' "$1" | head -60
}
summary_fuzz() { grep -E '^(#[0-9]+[[:space:]]+DONE|Done [0-9]+ runs)' "$logs/fuzz.log"; }

stage_bench() {
  build "$b/bench" "kwbench_msg kwbench_trace kwbench_transport kwbench_exception" \
    -DCMAKE_BUILD_TYPE=Release -DKW_BUILD_BENCH=ON -DKW_BUILD_TESTS=OFF -DKW_BUILD_TOOLS=OFF
}
summary_bench() { echo "built: $(cd "$b/bench/bin" 2>/dev/null && echo kwbench_*)"; }

# In a private prefix whose server is started apart, so ctest cannot hang on its helpers.
stage_win64() {
  build_win || return 1
  kw_note "warming the Wine prefix"
  kw_wine_warm "$PWD/$b/wineprefix"
  local status=0
  run_ctest "$b/win" --timeout 300 || status=1
  kw_wine_stop
  [ "$status" = 0 ] && ctest_ran "$logs/win64.log"
}
report_win64() { ctest_failures "$1"; }
summary_win64() { ctest_summary "$logs/win64.log"; }

# 32-bit Windows, the suite's own platform: the library, kwtool and every test program built.
# Where i386 code runs under qemu a process takes about a minute to start, so one smoke program
# (and a child of it) stands for the suite, and kwtool's bytes are compared with the other
# builds'. Output goes to files: a pipe would be held open by the server's helpers. Under qemu
# Wine reports every fault as an illegal instruction, which the translator's own cases cannot
# take; where i386 runs natively they run too.
stage_win32() {
  local out=$b/win32-run smoke_filter kwtool32 status=0 target
  build "$b/win32" "" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake &&
    build_native kwtool && build_win kwtool || return 1
  mkdir -p "$out"
  kw_note "warming the Wine prefix"
  kw_wine_warm "$PWD/$b/wineprefix"
  smoke_filter='Smoke.*:WireVectors.*'
  [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] ||
    smoke_filter="Smoke.*:WireVectors.*:Translator.*-Translator.Mode*"
  local encode=(encode MsgType=APPLICATION_CHANGE ApplicationHash:hex=00017f80ff Signature:str=sig
    HWND=0x1234)
  timeout 1200 cmake/wine32-run.sh "$b/win32/bin/kwtool.exe" "${encode[@]}" </dev/null \
    >"$out/win32-kwtool.txt" 2>/dev/null &
  kwtool32=$!
  kw_note "smoke program under wine32 ($smoke_filter)"
  timeout 2400 cmake/wine32-run.sh "$b/win32/bin/kwtest_smoke32.exe" --gtest_filter="$smoke_filter" \
    </dev/null >"$out/smoke.log" 2>&1 || status=$?
  wait "$kwtool32" || true
  tr -d '\r' <"$out/smoke.log"
  [ "$status" = 0 ] || echo "smoke program exit code $status"
  grep -qE '^\[  PASSED  \] [1-9][0-9]* tests?' <(tr -d '\r' <"$out/smoke.log") ||
    { echo "the smoke program passed no test"; status=1; }
  cmake/wine-run.sh "$b/win/bin/kwtool.exe" "${encode[@]}" </dev/null >"$out/win-kwtool.txt" \
    2>/dev/null || true
  "$b/native/bin/kwtool" "${encode[@]}" >"$out/native-kwtool.txt" 2>/dev/null || true
  kw_wine_stop
  local same=yes
  [ -s "$out/native-kwtool.txt" ] || same=no
  for target in win win32; do
    tr -d '\r' <"$out/$target-kwtool.txt" | cmp -s - "$out/native-kwtool.txt" || same=no
  done
  if [ "$same" = yes ]; then
    echo "kwtool encode: the same bytes from the Linux, x86_64 and i686 builds"
  else
    echo "kwtool encode differs: Linux '$(cat "$out/native-kwtool.txt")'," \
      "x86_64 '$(tr -d '\r' <"$out/win-kwtool.txt")', i686 '$(tr -d '\r' <"$out/win32-kwtool.txt")'"
    status=1
  fi
  return $status
}
report_win32() { grep -E -B2 -A12 'Failure|exit code|differs|passed no test|rror' "$1" | head -80; }
summary_win32() {
  grep -E '^\[  (PASSED|FAILED|SKIPPED) |^\[==========\] [0-9]+ tests? |^kwtool encode' "$logs/win32.log"
}

# As a developer outside this tree would use it; reuses the builds of the stages above that exist.
stage_install() {
  local dirs=() name fallback
  for name in native:pkg win:pkg-win win32:pkg-win32; do
    fallback=$b/${name#*:}
    [ -f "$b/${name%%:*}/CMakeCache.txt" ] && dirs+=("$b/${name%%:*}") || dirs+=("$fallback")
  done
  kw_note "scripts/install-test.sh ${dirs[*]}"
  scripts/install-test.sh "${dirs[@]}"
}
report_install() {
  tail -1 "$1"
  awk '/^== /{name=$0} /FAILED/{print name}' build/install-test/log 2>/dev/null
  grep -B40 -m3 'FAILED' build/install-test/log 2>/dev/null | tail -60
}
summary_install() { tail -1 "$logs/install.log"; }

stage_abi() { scripts/abi.sh "$b/abi"; }
report_abi() { tail -n 80 "$1"; }
summary_abi() { tail -1 "$logs/abi.log"; }

# --- the run ----------------------------------------------------------------------------------

setup_needs=()
for stage in "${stages[@]}"; do
  case $stage in
    native | asan | tsan) setup_needs+=(native) ;;
    win32) setup_needs+=(native win64 win32) ;;
    install) setup_needs+=(install) ;;
    *) setup_needs+=("$stage") ;;
  esac
done
mkdir -p "$logs"
stage_setup() { scripts/setup.sh $(printf '%s\n' "${setup_needs[@]}" | sort -u); }
kw_stage setup "$logs" || exit 1

for stage in "${stages[@]}"; do
  kw_stage "$stage" "$logs"
done

echo
echo "== summary"
for stage in "${stages[@]}"; do
  case " ${kw_stages_failed[*]} " in *" $stage "*) result=FAIL ;; *) result=PASS ;; esac
  echo "-- $stage: $result"
  "summary_$stage" 2>/dev/null
done
failed=${#kw_stages_failed[@]}
echo "stages: $((${#stages[@]} - failed)) passed, $failed failed"
((failed == 0))
