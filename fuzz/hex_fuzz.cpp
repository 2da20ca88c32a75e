// Fuzz target for the Intel HEX converter. Every input is converted with the
// normal read block and with a tiny one (lines and CR LF pairs split across
// blocks), and both outcomes must equal those of a plain model below that
// splits the text with std::string and converts each field with the
// runtime's "$" conversion. Only runtime failures may leave the converter,
// and an image always has the extent's Length.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "HexFile2BinMemoryStream.h"
#include "image/HexParse.h"
#include "runtime/Convert.h"
#include "runtime/Exceptions.h"

namespace {

// Larger images are only measured, not built: the fuzzer's memory is limited.
constexpr uint64_t kLargestBuilt = 1u << 24;

struct Outcome {
    std::string failure;  // empty on success
    uint32_t first = 0;
    uint32_t length = 0;
    std::vector<uint8_t> image;
    bool built = false;

    bool operator==(const Outcome&) const = default;
};

[[noreturn]] void Fail(const char* what, const Outcome& a, const Outcome& b) {
    std::fprintf(stderr, "%s\n  got: '%s' %08X+%u (%zu bytes)\n  want: '%s' %08X+%u (%zu bytes)\n", what,
                 a.failure.c_str(), a.first, a.length, a.image.size(), b.failure.c_str(), b.first, b.length,
                 b.image.size());
    std::abort();
}

// --- the model -------------------------------------------------------------

std::vector<std::string> ModelLines(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

uint32_t ModelField(const std::string& line, std::size_t pos, std::size_t n, const char* suffix = "") {
    const std::string field = line.substr(pos, n);
    try {
        return rt::HexTextToInt("$" + field + suffix);
    } catch (const rt::EConvertError&) {
        // The file's bytes are quoted as the Windows-1251 text they are.
        throw rt::EConvertError::InvalidInteger("$" + rt::AnsiToUtf8(field) + suffix);
    }
}

struct ModelPass {
    std::vector<uint8_t>* image = nullptr;
    uint64_t first = 0xFFFFFFFF;
    uint64_t highestEnd = 0;
    bool any = false;

    void Run(const std::vector<std::string>& lines) {
        uint64_t base = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string& s = lines[i];
            const std::string at = "Record at line " + std::to_string(i + 1);
            if (s.empty() || s[0] != ':') continue;
            if (s.size() < 9) throw rt::EConvertError(at + " is truncated");
            const uint32_t count = ModelField(s, 1, 2);
            const uint32_t type = ModelField(s, 7, 2);
            if (type == 0) {
                const uint32_t address = ModelField(s, 3, 4);
                if (s.size() < 9 + 2 * count) throw rt::EConvertError(at + " is truncated");
                const uint64_t start = base + address;
                const uint64_t end = start + count;
                if (end > (uint64_t{1} << 32)) throw rt::EConvertError(at + " runs past address FFFFFFFF");
                if (!image) {
                    if (!any || start < first) first = start;
                    if (end > highestEnd) highestEnd = end;
                    any = true;
                } else {
                    for (uint32_t j = 0; j < count; ++j)
                        image->at(start - first + j) = static_cast<uint8_t>(ModelField(s, 9 + 2 * j, 2));
                }
            } else if (type == 2 || type == 4) {
                if (s.size() < 13) throw rt::EConvertError(at + " is truncated");
                base = ModelField(s, 9, 4, type == 2 ? "0" : "0000");
            }
        }
    }
};

Outcome Model(std::string_view text) {
    Outcome o;
    try {
        const auto lines = ModelLines(text);
        ModelPass extent;
        extent.Run(lines);
        const uint64_t length = extent.any ? extent.highestEnd - extent.first : 1;
        o.first = static_cast<uint32_t>(extent.first);
        o.length = static_cast<uint32_t>(length);
        // 4 GiB: the extent's Length wraps to 0, and no image can hold it.
        if (length == (uint64_t{1} << 32)) throw rt::EOutOfMemory();
        if (length > kLargestBuilt) return o;
        o.built = true;
        o.image.assign(length, 0xFF);
        ModelPass data{&o.image, extent.first};
        data.Run(lines);
    } catch (const rt::Exception& e) {
        o = Outcome{};
        o.failure = e.Message();
    }
    return o;
}

// --- the converter ---------------------------------------------------------

Outcome Converter(std::string_view text, std::size_t blockSize) {
    Outcome o;
    try {
        const THexExtent e = hexparse::TextExtent(text, blockSize);
        o.first = e.FirstAddress;
        o.length = e.Length;
        if (e.Length > kLargestBuilt) return o;
        o.built = true;
        const auto s = hexparse::TextToStream(text, blockSize);
        if (s->Position() != 0 || static_cast<uint64_t>(s->Size()) != e.Length) {
            std::fprintf(stderr, "image of %lld bytes at %lld, extent length %u\n",
                         static_cast<long long>(s->Size()), static_cast<long long>(s->Position()), e.Length);
            std::abort();
        }
        if (s->Size() > 0) o.image.assign(s->Memory(), s->Memory() + s->Size());
        if (hexparse::ImageBufferLength() != 0) {
            std::fprintf(stderr, "the conversion buffer was not emptied\n");
            std::abort();
        }
    } catch (const rt::Exception& e) {
        o = Outcome{};
        o.failure = e.Message();
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Outcome want = Model(text);
    const Outcome whole = Converter(text, hexparse::kDefaultBlockSize);
    if (!(whole == want)) Fail("default block", whole, want);
    const std::size_t tiny = 1 + (size == 0 ? 0 : data[size - 1] % 7);
    const Outcome split = Converter(text, tiny);
    if (!(split == want)) Fail("tiny block", split, want);
    return 0;
}
