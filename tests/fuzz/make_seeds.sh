#!/usr/bin/env bash
# Turns "name<TAB>hex" lines into one binary file per name: make_seeds.sh VECTORS OUTDIR
set -euo pipefail
vectors=$1 out=$2
rm -rf "$out"
mkdir -p "$out"
while IFS=$'\t' read -r name hex; do
  hex=${hex%$'\r'}
  [[ -z $name || $name == \#* ]] && continue
  if [[ ! $hex =~ ^([0-9a-fA-F]{2})+$ ]]; then
    echo "make_seeds.sh: $name: not a hex byte string" >&2
    exit 1
  fi
  # Each digit pair becomes a \xHH escape; bash's printf writes NUL bytes too.
  printf "$(sed 's/../\\x&/g' <<<"$hex")" >"$out/$name"
done <"$vectors"
