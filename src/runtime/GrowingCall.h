// A call that fills a buffer and returns the length it needs when the buffer
// is too small, as the path calls of Windows do. Portable.
#pragma once

#include <string>

// The text the call filled; empty when it fails (returns 0).
template <class Call>
std::wstring GrowingCall(Call call) {
    std::wstring text(260, L'\0');
    for (;;) {
        const auto n = static_cast<size_t>(call(text.data(), static_cast<unsigned long>(text.size())));
        if (n == 0) return {};
        if (n < text.size()) return text.substr(0, n);
        text.resize(n > text.size() ? n : text.size() * 2);
    }
}
