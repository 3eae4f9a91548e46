#!/usr/bin/env bash
# Measures the line and branch coverage of src/ on Linux that the native suite reaches.
#
#   scripts/coverage.sh [BUILD_DIR] [SUITE...]   default build/coverage, every suite
#   scripts/coverage.sh --compare BEFORE.json AFTER.json
#
# A Debug build with --coverage, the native tests through ctest (only the named suites'
# folders, e.g. `errors threads`, when some are given), then gcovr over src/. Prints the two
# percentages last ("lines: N%", "branches: N%"); the per-file report is in
# BUILD_DIR/coverage.txt, the totals in BUILD_DIR/coverage.json and every line's counts in
# BUILD_DIR/coverage-lines.json. Counts start from zero on every run.
#
# --compare reads two coverage-lines.json files and lists each line and branch of src/ that
# the first reached and the second did not; it fails when there is one. Use it to show that
# a change to the tests loses nothing they caught.
#
# Forked test children exit without flushing their counters in order, which leaves negative
# counts in some .gcda files: gcovr skips those lines (--gcov-ignore-parse-errors) rather than
# stopping. A failing test is reported but still measured: coverage is not the test verdict.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;; esac

if [[ ${1:-} == --compare ]]; then
  [[ $# == 3 ]] || { echo "usage: $0 --compare BEFORE.json AFTER.json" >&2; exit 2; }
  exec python3 - "$2" "$3" <<'EOF'
import json, sys

def reached(path):
    lines, branches = set(), set()
    for f in json.load(open(path))["files"]:
        for line in f["lines"]:
            key = (f["file"], line["line_number"])
            if line["count"] > 0:
                lines.add(key)
            for i, branch in enumerate(line["branches"]):
                if branch["count"] > 0:
                    branches.add(key + (i,))
    return lines, branches

before_lines, before_branches = reached(sys.argv[1])
after_lines, after_branches = reached(sys.argv[2])
lost_lines = sorted(before_lines - after_lines)
lost_branches = sorted(before_branches - after_branches)
for file, line in lost_lines:
    print(f"line lost: {file}:{line}")
for file, line, branch in lost_branches:
    print(f"branch lost: {file}:{line} #{branch}")
print(f"lines: {len(before_lines)} -> {len(after_lines)} reached, {len(lost_lines)} lost, "
      f"{len(after_lines - before_lines)} gained")
print(f"branches: {len(before_branches)} -> {len(after_branches)} reached, "
      f"{len(lost_branches)} lost, {len(after_branches - before_branches)} gained")
sys.exit(1 if lost_lines or lost_branches else 0)
EOF
fi

. "$(dirname "$0")/lib.sh"
"$kw_root/scripts/setup.sh" native
kw_apt_install gcovr

build=$(realpath -m "${1:-$kw_root/build/coverage}")
shift $(($# > 0 ? 1 : 0))
suites=("$@")
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$kw_root" -B "$build" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
targets=()
selection=()
for suite in "${suites[@]}"; do
  targets+=(--target "kwtest_$suite")
  selection+=("$suite")
done
cmake --build "$build" -j"$jobs" "${targets[@]}" >/dev/null
labels=()
if ((${#selection[@]})); then
  labels=(-L "^($(IFS='|'; echo "${selection[*]}"))\$")
fi

find "$build" -name '*.gcda' -delete
# Fresh per-user state: a warm debug-file cache or another run's leftover named objects would
# decide which lines run.
rm -rf "$build/coverage-home"
mkdir -p -m 0700 "$build/coverage-home" "$build/coverage-home/cache" "$build/coverage-home/run"
export XDG_CACHE_HOME=$build/coverage-home/cache XDG_RUNTIME_DIR=$build/coverage-home/run
if ! ctest --test-dir "$build" -j"$jobs" "${labels[@]}" --output-on-failure \
  >"$build/coverage-ctest.log" 2>&1; then
  echo "coverage: some tests failed (measured anyway):"
  grep -A100 'tests failed out of' "$build/coverage-ctest.log" || tail -20 "$build/coverage-ctest.log"
fi

# gcov's intermediate files are named after the source file alone, in the source root: two
# measurements at once would read each other's, so they take turns.
mkdir -p "$kw_root/build"
flock "$kw_root/build/.gcovr.lock" \
  gcovr --root "$kw_root" --filter "$kw_root/src/" --gcov-ignore-parse-errors \
  --txt "$build/coverage.txt" --json-summary "$build/coverage.json" --json-summary-pretty \
  --json "$build/coverage-lines.json" "$build" >/dev/null
python3 - "$build/coverage.json" <<'EOF'
import json, sys
summary = json.load(open(sys.argv[1]))
print(f"lines: {summary['line_percent']}% ({summary['line_covered']}/{summary['line_total']})")
print(f"branches: {summary['branch_percent']}% ({summary['branch_covered']}/{summary['branch_total']})")
EOF
