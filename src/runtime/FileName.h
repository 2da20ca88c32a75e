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

// Longest full path the Windows file calls take in its plain form: MAX_PATH
// less the terminating NUL.
inline constexpr std::size_t kLongestPlainPath = 259;

// The form of a full Windows path that the file calls take at any length:
// "\\?\" before a drive path, "\\?\UNC\" in place of the "\\" of a share,
// "/" turned into "\" (that form takes every character literally). A path
// of at most kLongestPlainPath characters, one already in a "\\?\" or
// "\\.\" form, and one that is not full (relative, or rooted on no drive)
// stay as they are.
std::wstring LongPathForm(std::wstring_view fullPath);

// The plain form of a path in the long form of a drive or a share
// ("\\?\C:\fw" is "C:\fw", "\\?\UNC\server\share" is "\\server\share");
// any other path as it is.
std::wstring PlainPathForm(std::wstring_view path);

// The name a file call takes for a file given as `given` whose full path is
// fullPath: as given while the full path fits the plain form (a short
// relative name in a deep folder does not), else the full path's long form.
std::wstring FileCallForm(std::wstring_view given, std::wstring_view fullPath);

// ASCII a-z to A-Z; every other byte (UTF-8 sequences included) unchanged.
std::string AsciiUpper(std::string_view text);

}  // namespace rt
