# The headers describe each declaration in the line comments above it; this
# turns those comments into documentation comments for Doxygen. A backslash
# in them is text (registry paths), not a Doxygen command. A header's first
# line says what the file is for: it documents the file, which gives the file
# its page with the include graphs.
/^[[:space:]]*\/\/\([[:space:]]\|$\)/{
  s#\\#\\\\#g
  s#^\([[:space:]]*\)//#\1///#
}
1s#^///\(.*\)$#///\1 \\file#
