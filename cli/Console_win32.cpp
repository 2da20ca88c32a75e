// Windows: text reaches a console through WriteConsoleW, which shows any
// character whatever the console's code page. Redirected to a file or pipe by
// a program that has a console, it goes out in that console's output code
// page with CR LF line ends: cmd's type and findstr show such bytes in the
// console, and Windows PowerShell decodes a program's output with that code
// page. A console set to UTF-8 (chcp 65001), or none at all, gets the UTF-8
// bytes unchanged, as the POSIX build writes them.
#include "Console.h"

#include <windows.h>

#include <streambuf>
#include <string>

#include "runtime/Convert.h"
#include "runtime/Utf16.h"

namespace {

// Collects UTF-8 and writes it out at each line end and each flush, so that a
// character is never split between two writes to the console.
class TConsoleBuf : public std::streambuf {
public:
    explicit TConsoleBuf(DWORD which) : handle_(GetStdHandle(which)) {
        DWORD mode;
        console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
        // 0 without a console.
        const UINT codePage = console_ ? CP_UTF8 : GetConsoleOutputCP();
        if (codePage != 0 && codePage != CP_UTF8) codePage_ = codePage;
    }
    ~TConsoleBuf() override { sync(); }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        pending_ += traits_type::to_char_type(ch);
        if (ch == '\n' && sync() != 0) return traits_type::eof();
        return ch;
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        for (std::streamsize i = 0; i < count; ++i)
            if (traits_type::eq_int_type(overflow(traits_type::to_int_type(text[i])), traits_type::eof()))
                return i;
        return count;
    }

    int sync() override {
        // A character whose bytes have not all come yet waits for the next write.
        size_t complete = pending_.size();
        size_t back = 0;
        while (back < 3 && back < complete &&
               (static_cast<unsigned char>(pending_[complete - 1 - back]) & 0xC0) == 0x80)
            ++back;
        if (back < complete) {
            const auto lead = static_cast<unsigned char>(pending_[complete - 1 - back]);
            if (rt::Utf8SequenceLength(lead) > back + 1) complete -= back + 1;
        }
        if (complete > 0) {
            // A failed write is remembered: the final flush must report it.
            if (!Write(pending_.data(), static_cast<int>(complete))) failed_ = true;
            pending_.erase(0, complete);
        }
        return failed_ ? -1 : 0;
    }

private:
    bool Write(const char* text, int length) {
        DWORD done = 0;
        if (console_) {
            const std::wstring wide = rt::Utf8ToUtf16(std::string_view(text, static_cast<size_t>(length)));
            return WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr) != 0;
        }
        if (codePage_ == 0) return WriteFile(handle_, text, static_cast<DWORD>(length), &done, nullptr) != 0;
        const std::string bytes = InCodePage(std::string_view(text, static_cast<size_t>(length)));
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) != 0;
    }

    // UTF-8 text in codePage_, a line feed after anything but a carriage
    // return made CR LF; a character the code page lacks becomes its default
    // character.
    std::string InCodePage(std::string_view text) {
        std::wstring wide;
        for (const wchar_t c : rt::Utf8ToUtf16(text)) {
            if (c == L'\n' && !afterCR_) wide += L'\r';
            wide += c;
            afterCR_ = c == L'\r';
        }
        const int size = WideCharToMultiByte(codePage_, 0, wide.data(), static_cast<int>(wide.size()),
                                             nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
        if (size > 0)
            WideCharToMultiByte(codePage_, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), size,
                                nullptr, nullptr);
        return bytes;
    }

    HANDLE handle_;
    bool console_ = false;
    UINT codePage_ = 0;  // redirected output in this code page; 0: UTF-8 as it is
    bool afterCR_ = false;
    bool failed_ = false;
    std::string pending_;
};

}  // namespace

std::ostream& ConsoleOut() {
    static TConsoleBuf buf(STD_OUTPUT_HANDLE);
    static std::ostream stream(&buf);
    return stream;
}

std::ostream& ConsoleErr() {
    static TConsoleBuf buf(STD_ERROR_HANDLE);
    static std::ostream stream(&buf);
    return stream;
}
