#!/usr/bin/env bash
# Builds the benchmarks in Release, runs every one of them and prints one table of their RATIO
# rows (kwbase next to its baseline or peer library, measured in the same run).
set -euo pipefail
cd "$(dirname "$0")/.."
# The benchmark library, Boost and the protobuf peer.
scripts/setup.sh bench

jobs=$(nproc)
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKW_BUILD_BENCH=ON -DKW_BUILD_TESTS=OFF \
  -DKW_BUILD_TOOLS=OFF >/dev/null
cmake --build build/bench -j"$jobs" >/dev/null
# The exception benchmark measures what an application gets from an installed kwbase: both built
# RelWithDebInfo, as the install instructions build it, so that frames carry files and lines.
cmake -S . -B build/bench-app -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKW_BUILD_BENCH=ON \
  -DKW_BUILD_TESTS=OFF -DKW_BUILD_TOOLS=OFF >/dev/null
cmake --build build/bench-app -j"$jobs" --target kwbench_exception >/dev/null

rows=build/bench/ratio-rows.txt
: >"$rows"
status=0
for program in build/bench/bin/kwbench_* build/bench-app/bin/kwbench_exception; do
  [ -x "$program" ] || continue
  [ "$program" = build/bench/bin/kwbench_exception ] && continue
  name=$(basename "$program")
  echo "== $name"
  if "$program" >"build/bench/$name.log" 2>&1; then
    grep -v '^RATIO' "build/bench/$name.log" || true
  else
    echo "$name failed (exit $?); its output: build/bench/$name.log"
    status=1
  fi
  grep '^RATIO' "build/bench/$name.log" | cut -f2- >>"$rows" || true
done

echo
echo "== kwbase next to its baseline or peer (ratio = kwbase / peer)"
{
  printf 'row\tkwbase\tpeer\tratio\tgoal\tresult\n'
  cat "$rows"
} | awk -F'\t' '{ for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) }
                   if (NF > cols) cols = NF }
               END { for (r = 1; r <= NR; r++) { line = ""
                       for (i = 1; i <= cols; i++) line = line sprintf("%-" w[i] + 2 "s", cell[r, i])
                       sub(/ +$/, "", line); print line } }'
exit "$status"
