// UTF-8 text at the border to the Windows wide-character API. Windows builds
// only: defined beside the Windows file functions.
#pragma once

#include <string>
#include <string_view>

namespace rt {

std::wstring Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::wstring_view utf16);

// The name a file call gets for fileName: as given while its full path is
// short enough for the plain form, else the full path's long form.
std::wstring FileCallName(const std::string& fileName);

}  // namespace rt
