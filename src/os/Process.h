// Starting other programs.
#pragma once

#include <string>

namespace kw::os {

// Starts the command line (the program, then its arguments) with its main
// window hidden, the caller's environment, current folder and inheritable
// handles, and waits up to `timeoutMs` for it. True when it started and
// finished in that time; a program still running is left running.
//
// Linux: the line is split as the Windows runtime splits one (blanks
// separate, double quotes group, backslashes escape only quotes); an
// unquoted program path with blanks is found as CreateProcessW finds it, by
// trying each blank-delimited prefix that names a file. Children left
// running are reaped by a later call, so none stays a zombie for long.
bool runHidden(const std::wstring& commandLine, unsigned timeoutMs);

}  // namespace kw::os
