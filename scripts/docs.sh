#!/usr/bin/env bash
# Builds the API reference from the public headers into build/docs/html.
# Fails when Doxygen warns (an undocumented class or operation, a bad command).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/docs}
version=$(sed -n 's/^project(kwbase VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -rf "$out"
mkdir -p "$out"
KW_VERSION=$version KW_DOCS_OUT=$out doxygen docs/Doxyfile
if [ -s "$out/warnings.log" ]; then
  cat "$out/warnings.log" >&2
  echo "docs: $(wc -l <"$out/warnings.log") Doxygen warnings" >&2
  exit 1
fi
echo "docs: $out/html/index.html"
