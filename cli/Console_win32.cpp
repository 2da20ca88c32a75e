// Windows: text reaches a console through WriteConsoleW, which shows any
// character whatever the console's code page. Redirected to a file or pipe by
// a program that has a console, it goes out in that console's output code
// page with CR LF line ends: cmd's type and findstr show such bytes in the
// console, and Windows PowerShell decodes a program's output with that code
// page. A console set to UTF-8 (chcp 65001), none at all, or the UTF-8
// switch gets the UTF-8 bytes unchanged, as the POSIX build writes them; so
// does JSON, always. A character the code page lacks becomes "?", and the
// first such line brings a hint on standard error of how to get UTF-8.
#include "Console.h"

#include <windows.h>

#include <atomic>
#include <streambuf>
#include <string>

#include "JsonOutput.h"
#include "TextForm.h"
#include "runtime/Convert.h"
#include "runtime/Utf16.h"

namespace {

bool utf8Asked = false;
std::atomic<bool> hinted{false};

class TConsoleBuf;
TConsoleBuf& ErrBuf();

// Collects UTF-8 and writes it out at each line end and each flush, so that a
// character is never split between two writes to the console.
class TConsoleBuf : public std::streambuf {
public:
    explicit TConsoleBuf(DWORD which) : handle_(GetStdHandle(which)) {
        DWORD mode;
        console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
    }
    ~TConsoleBuf() override { sync(); }

    // A line of ASCII, past any text still waiting; a failure is not the output's.
    void Tell(std::string line) {
        line += Form() == TTextForm::CodePage ? "\r\n" : "\n";
        if (Form() == TTextForm::Console)
            WriteWide(rt::Utf8ToUtf16(line));
        else
            WriteBytes(line);
    }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        pending_ += traits_type::to_char_type(ch);
        if (ch == '\n' && sync() != 0) return traits_type::eof();
        return ch;
    }

    // JSON must reach its reader as UTF-8, whatever the console's code page.
    void imbue(const std::locale& locale) override {
        sync();
        utf8Bytes_ = CarriesUtf8Bytes(locale);
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
    TTextForm Form() const { return TextForm(console_, codePage_, utf8Asked || utf8Bytes_); }

    bool Write(const char* text, int length) {
        const std::string_view utf8(text, static_cast<size_t>(length));
        switch (Form()) {
        case TTextForm::Console:
            return WriteWide(rt::Utf8ToUtf16(utf8));
        case TTextForm::Utf8:
            return WriteBytes(utf8);
        case TTextForm::CodePage:
            break;
        }
        bool lacking = false;
        const std::string bytes = InCodePage(utf8, lacking);
        // Before the line, so that output and errors in one file read in order.
        if (lacking && !hinted.exchange(true)) ErrBuf().Tell(Utf8Hint(codePage_));
        return WriteBytes(bytes);
    }

    bool WriteWide(const std::wstring& wide) {
        DWORD done = 0;
        return WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr) != 0;
    }

    bool WriteBytes(std::string_view bytes) {
        DWORD done = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) != 0;
    }

    // UTF-8 text in codePage_, a line feed after anything but a carriage
    // return made CR LF. A character the code page lacks becomes its default
    // character, also where a look-alike exists: a file name must not turn
    // into another one. lacking tells that one did.
    std::string InCodePage(std::string_view text, bool& lacking) {
        std::wstring wide;
        for (const wchar_t c : rt::Utf8ToUtf16(text)) {
            if (c == L'\n' && !afterCR_) wide += L'\r';
            wide += c;
            afterCR_ = c == L'\r';
        }
        DWORD flags = WC_NO_BEST_FIT_CHARS;
        BOOL usedDefault = FALSE;
        int size = WideCharToMultiByte(codePage_, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                       0, nullptr, &usedDefault);
        // Some code pages (GB18030, the ISO 2022 ones) take no flags: converted
        // as before, without a hint.
        if (size == 0 && !wide.empty()) {
            flags = 0;
            size = WideCharToMultiByte(codePage_, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
        }
        lacking = usedDefault != FALSE;
        std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
        if (size > 0)
            WideCharToMultiByte(codePage_, flags, wide.data(), static_cast<int>(wide.size()), bytes.data(),
                                size, nullptr, nullptr);
        return bytes;
    }

    HANDLE handle_;
    bool console_ = false;
    const UINT codePage_ = GetConsoleOutputCP();  // 0 without a console
    bool utf8Bytes_ = false;
    bool afterCR_ = false;
    bool failed_ = false;
    std::string pending_;
};

TConsoleBuf& ErrBuf() {
    static TConsoleBuf buf(STD_ERROR_HANDLE);
    return buf;
}

}  // namespace

void UseUtf8Output() {
    utf8Asked = true;
}

std::ostream& ConsoleOut() {
    static TConsoleBuf buf(STD_OUTPUT_HANDLE);
    static std::ostream stream(&buf);
    return stream;
}

std::ostream& ConsoleErr() {
    static std::ostream stream(&ErrBuf());
    return stream;
}
