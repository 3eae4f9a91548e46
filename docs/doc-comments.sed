# The headers describe each declaration in the line comments above it; this
# turns those comments into documentation comments for Doxygen. A backslash
# in them is text (registry paths), not a Doxygen command.
/^[[:space:]]*\/\/\([[:space:]]\|$\)/{
  s#\\#\\\\#g
  s#^\([[:space:]]*\)//#\1///#
}
