#include "TextForm.h"

#include <algorithm>
#include <string_view>

namespace {
constexpr unsigned kUtf8CodePage = 65001;
}  // namespace

bool TakeUtf8Switch(std::vector<std::string>& args, const char* environmentValue) {
    const auto end = std::find(args.begin(), args.end(), "--");
    const auto kept = std::remove(args.begin(), end, "--utf8");
    const bool given = kept != end;
    args.erase(kept, end);
    return given || std::string_view(environmentValue ? environmentValue : "") == "1";
}

TTextForm TextForm(bool isConsole, unsigned consoleCodePage, bool utf8) {
    if (isConsole) return TTextForm::Console;
    // Without a console no program expects its code page.
    if (utf8 || consoleCodePage == 0 || consoleCodePage == kUtf8CodePage) return TTextForm::Utf8;
    return TTextForm::CodePage;
}

std::string Utf8Hint(unsigned codePage) {
    return "Characters that code page " + std::to_string(codePage) +
           " lacks are written as \"?\"; for UTF-8 output give --utf8 or set FWIMAGE_UTF8=1";
}
