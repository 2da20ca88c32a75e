// Text at the border to Windows: the portable code speaks UTF-8, the system's
// wide-character API speaks UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace widgets {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

} // namespace widgets
