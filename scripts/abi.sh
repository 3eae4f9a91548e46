#!/usr/bin/env bash
# Checks the interface of libkwbase.so (the public headers and what they reach: classes'
# sizes, members and virtual tables, protected members included, and the exported symbols)
# against the record of the last release in abi/. A change that breaks source or binary
# compatibility fails unless the version in CMakeLists.txt says so: a new minor version while
# the major one is 0, else a new major version.
#
#   scripts/abi.sh [BUILD_DIR]             check (BUILD_DIR: default build/abi)
#   scripts/abi.sh --record [BUILD_DIR]    make this tree's interface the record of its version
#
# The last line says PASS or FAIL; the full report is BUILD_DIR/abi-report.html.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

record=no
if [ "${1:-}" = --record ]; then
  record=yes
  shift
fi
dir=${1:-build/abi}
version=$(kw_version)

# The library as the tools read it: debug information of an -Og build.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -Og" \
  -DKW_BUILD_TESTS=OFF -DKW_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kwbase >/dev/null
library=$(readlink -f "$dir/lib/libkwbase.so")
abi-dumper "$library" -o "$dir/abi-raw.dump" -lver "$version" -public-headers include/kw \
  >"$dir/abi-dumper.log" 2>&1 || { cat "$dir/abi-dumper.log"; exit 1; }

# Which registers and stack slots a function keeps its arguments in is the optimiser's choice,
# not the calling convention (the types fix that): kept in the dump, any change to a function's
# body would read as a break.
perl -MData::Dumper -e '
  local $/; my $VAR1; eval <STDIN>; die $@ if $@;
  for my $symbol (values %{$VAR1->{SymbolInfo}}) {
    delete $symbol->{Reg};
    delete $_->{offset} for values %{$symbol->{Param} || {}};
  }
  $Data::Dumper::Sortkeys = 1; $Data::Dumper::Indent = 1;
  print Dumper($VAR1);' <"$dir/abi-raw.dump" >"$dir/abi.dump"

if [ "$record" = yes ]; then
  rm -f abi/kwbase-*.abi.gz
  mkdir -p abi
  gzip -9n <"$dir/abi.dump" >"abi/kwbase-$version.abi.gz"
  echo "abi: recorded the interface of $version in abi/kwbase-$version.abi.gz"
  exit 0
fi

records=(abi/kwbase-*.abi.gz)
[ "${#records[@]}" = 1 ] && [ -f "${records[0]}" ] ||
  { echo "abi: FAIL: abi/ holds no single record (${records[*]})"; exit 1; }
released=$(basename "${records[0]}" .abi.gz)
released=${released#kwbase-}
gunzip <"${records[0]}" >"$dir/released.dump"

# The part of a version that promises compatibility: major.minor while the major is 0.
promise() {
  local major=${1%%.*} rest=${1#*.}
  if [ "$major" = 0 ]; then echo "0.${rest%%.*}"; else echo "$major"; fi
}
newer() { [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -1)" = "$1" ]; }

if [ "$version" != "$released" ] && ! newer "$version" "$released"; then
  echo "abi: FAIL: version $version is older than the released $released"
  exit 1
fi

status=0
abi-compliance-checker -l kwbase -old "$dir/released.dump" -new "$dir/abi.dump" \
  -report-path "$dir/abi-report.html" >"$dir/abi-compare.log" 2>&1 || status=$?
cat "$dir/abi-compare.log"
if [ "$status" -gt 1 ]; then
  echo "abi: FAIL: abi-compliance-checker failed (exit $status)"
  exit 1
fi

# The problems themselves, one line each, from the report's XML form (sizes are in bits).
problems() {
  abi-compliance-checker -l kwbase -old "$dir/released.dump" -new "$dir/abi.dump" \
    -report-path "$dir/abi-report.xml" -report-format xml >/dev/null 2>&1 || true
  perl -ne '
    $kind = $1 if /<report kind="(\w+)"/;
    $section = "removed" if /^<removed_symbols>/;
    $section = "$1 ($2)" if /^<problems_with_(\w+) severity="(\w+)"/;
    $affected = 1 if /<affected>$/;
    $affected = 0 if /<\/affected>/;
    next if $affected;
    $what = $1 if /<(?:type|symbol) name="([^"]*)"/;
    print "  $kind, removed symbol: $1\n" if $section eq "removed" && /<name>(.*)<\/name>/;
    if (/<change([^>]*)>(.*)<\/change>/) {
      my ($attributes, $text) = ($1, $2);
      my %value = $attributes =~ /(\w+)="([^"]*)"/g;
      $text =~ s/\@(\w+)/exists $value{$1} ? $value{$1} : $1/ge;
      print "  $kind, $section: $what: $text\n";
    }' "$dir/abi-report.xml" | c++filt | sed 's/&amp;/\&/g; s/&lt;/</g; s/&gt;/>/g'
}

if [ "$status" = 0 ]; then
  echo "abi: PASS: the interface of $version keeps that of the released $released"
elif [ "$(promise "$version")" != "$(promise "$released")" ]; then
  problems
  echo "abi: PASS: $version changes the interface of $released, as its version allows;" \
    "record it (scripts/abi.sh --record) when $version is released"
else
  problems
  echo "abi: FAIL: $version breaks the interface of the released $released without saying so" \
    "in its version; report: $dir/abi-report.html"
  exit 1
fi
