#!/usr/bin/env bash
# Renders the developer's guide's drawings (docs/*.dot) into build/docs/diagrams, checks that
# every repository path the guide names still exists and that the layers drawing shows every
# header, and builds the API reference with its
# class and include graphs into build/docs/html. Fails when Doxygen warns (an undocumented
# class or operation, a bad command, a missing image). Needs doxygen and graphviz.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/docs}
for tool in doxygen dot; do
  command -v "$tool" >/dev/null || {
    echo "docs: $tool is missing (Debian packages doxygen and graphviz)" >&2
    exit 1
  }
done
version=$(sed -n 's/^project(kwbase VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -rf "$out"
mkdir -p "$out/diagrams"

for drawing in docs/*.dot; do
  name=$(basename "$drawing" .dot)
  dot -Tsvg "$drawing" -o "$out/diagrams/$name.svg"
  dot -Tpng -Gdpi=110 "$drawing" -o "$out/diagrams/$name.png"
done

# A path that no longer exists makes the guide wrong: name it and fail. Placeholders such as
# src/os/<Facility>.h and globs stop before the '<' or '*' and leave their existing folder.
missing=0
while IFS=: read -r file path; do
  if [ ! -e "$path" ]; then
    echo "docs: $file names $path, which does not exist" >&2
    missing=1
  fi
done < <(grep -oP '(?<![\w/.&;-])(include|src|tests|bench|scripts|tools|cmake|docs|examples)/[\w./-]*\w' \
  docs/*.md docs/*.dot | sort -u)
# The layers drawing shows every public class, internal helper and OS facility by name.
shopt -s nullglob
for header in include/kw/*.h src/*.h src/os/*.h src/os/posix/*.h src/os/win32/*.h; do
  name=$(basename "$header" .h)
  case $header in src/os/*/*.h) ;; src/os/*) name=$name.h ;; esac
  grep -qw -- "$name" docs/layers.dot || {
    echo "docs: docs/layers.dot does not show $header" >&2
    missing=1
  }
done
shopt -u nullglob
[ "$missing" = 0 ] || exit 1

KW_VERSION=$version KW_DOCS_OUT=$out doxygen docs/Doxyfile
if [ -s "$out/warnings.log" ]; then
  cat "$out/warnings.log" >&2
  echo "docs: $(wc -l <"$out/warnings.log") Doxygen warnings" >&2
  exit 1
fi
echo "docs: $out/html/index.html; the guide's drawings in $out/diagrams"
