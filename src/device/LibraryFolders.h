// Where DFU.dll may lie, as far as it can be told without the system: the
// folders a PATH value names whatever folder is current. Portable.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// PATH's entries that are absolute folders ("C:\tools", "\\server\share"),
// in PATH's order, each without its quotes and trailing separators (a
// drive's root keeps its one) and with backslashes only. A relative entry (".", "bin", "C:bin",
// "\bin") names a different folder from each current one and is left out.
std::vector<std::wstring> AbsolutePathFolders(std::wstring_view path);

// folder\name, with one separator between them whatever folder ends in.
std::wstring InFolder(std::wstring_view folder, std::wstring_view name);
