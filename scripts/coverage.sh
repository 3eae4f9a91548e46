#!/usr/bin/env bash
# Measures the line and branch coverage of src/ on Linux that the native suite reaches.
#
#   scripts/coverage.sh [BUILD_DIR]     default build/coverage
#
# A Debug build with --coverage, every native test through ctest, then gcovr over src/. Prints
# the two percentages last ("lines: N%", "branches: N%"); the per-file report is in
# BUILD_DIR/coverage.txt and BUILD_DIR/coverage.json. Counts start from zero on every run.
#
# Forked test children exit without flushing their counters in order, which leaves negative
# counts in some .gcda files: gcovr skips those lines (--gcov-ignore-parse-errors) rather than
# stopping. A failing test is reported but still measured: coverage is not the test verdict.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;; esac
. "$(dirname "$0")/lib.sh"
"$kw_root/scripts/setup.sh" native
kw_apt_install gcovr

build=$(realpath -m "${1:-$kw_root/build/coverage}")
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$kw_root" -B "$build" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

find "$build" -name '*.gcda' -delete
if ! ctest --test-dir "$build" -j"$jobs" --output-on-failure >"$build/coverage-ctest.log" 2>&1; then
  echo "coverage: some tests failed (measured anyway):"
  grep -A100 'tests failed out of' "$build/coverage-ctest.log" || tail -20 "$build/coverage-ctest.log"
fi

gcovr --root "$kw_root" --filter "$kw_root/src/" --gcov-ignore-parse-errors \
  --txt "$build/coverage.txt" --json-summary "$build/coverage.json" --json-summary-pretty \
  "$build" >/dev/null
python3 - "$build/coverage.json" <<'EOF'
import json, sys
summary = json.load(open(sys.argv[1]))
print(f"lines: {summary['line_percent']}% ({summary['line_covered']}/{summary['line_total']})")
print(f"branches: {summary['branch_percent']}% ({summary['branch_covered']}/{summary['branch_total']})")
EOF
