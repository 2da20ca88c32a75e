// File-name rules. Both "\" and "/" separate folders (Windows accepts either),
// and ":" ends a drive part.
#pragma once

#include <string>
#include <string_view>

namespace rt {

// The part after the last separator ("\", "/" or ":").
std::string_view ExtractFileName(std::string_view path);

// From the last "." of the name part to the end, dot included; empty when the
// name part has no dot.
std::string_view ExtractFileExt(std::string_view path);

// ASCII a-z to A-Z; every other byte (UTF-8 sequences included) unchanged.
std::string AsciiUpper(std::string_view text);

}  // namespace rt
