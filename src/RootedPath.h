// Trimming of paths where the platform names the root with a leading '/'.
#pragma once

#include <string>

namespace kw::rooted {

// The text starts at the root (only where the platform has one).
bool isRooted(const std::wstring& text);

// FileName::cleanPath, except that a rooted path keeps its root and loses
// only the separators right after it: a name that starts with a dot or a
// blank (/.hidden) keeps it. Other texts are cleaned as they are.
void trim(std::wstring& path);

// `name` below `folder`, with one separator between them.
std::wstring below(const std::wstring& folder, const std::wstring& name);

}  // namespace kw::rooted
