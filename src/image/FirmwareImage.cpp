#include "image/FirmwareImage.h"

#include <algorithm>
#include <cstring>

#include "runtime/Convert.h"
#include "runtime/FileIO.h"
#include "runtime/FileName.h"

std::unique_ptr<rt::TMemoryStream> CurrentImage;

std::mutex& ImageInfoLock() {
    static std::mutex lock;
    return lock;
}

TImageInfo SnapshotImageInfo(const TImageInfo& info) {
    std::lock_guard<std::mutex> guard(ImageInfoLock());
    return info;
}

namespace {

std::string UpperExt(std::string_view fileName) {
    return rt::AsciiUpper(rt::ExtractFileExt(fileName));
}

// Loads fileName into CurrentImage the way its kind asks; Ignored loads nothing.
void LoadCurrentImage(const std::string& fileName, TImageKind kind, THexRuns* runs = nullptr) {
    if (kind == TImageKind::Hex) {
        // The new stream takes over only once the conversion has succeeded.
        CurrentImage = HexFileToStream(fileName, runs);
    } else if (kind == TImageKind::Raw) {
        // Created before the load, so it exists (empty) even when the load fails.
        if (!CurrentImage) CurrentImage = std::make_unique<rt::TMemoryStream>();
        CurrentImage->LoadFromFile(fileName);
    }
}

// The number of UTF-8 characters starting at text[pos]: a lead byte and the
// continuation bytes it announces. A stray byte counts as one character, as it
// would in a single-byte code page.
size_t CharLength(std::string_view text, size_t pos) {
    const size_t expected = rt::Utf8SequenceLength(static_cast<unsigned char>(text[pos]));
    size_t n = 1;
    while (n < expected && pos + n < text.size() &&
           (static_cast<unsigned char>(text[pos + n]) & 0xC0) == 0x80)
        ++n;
    return n;
}

// Label and value appended into one string (the "literal" + std::string form
// trips a false -Wrestrict warning of GCC 12).
std::string Join(std::string_view label, std::string_view value) {
    std::string text;
    text.reserve(label.size() + value.size());
    text.append(label).append(value);
    return text;
}

}  // namespace

TImageKind OpenKindOf(std::string_view fileName) {
    const std::string ext = UpperExt(fileName);
    if (ext == ".HEX") return TImageKind::Hex;
    if (ext == ".BIN" || ext == ".LOCK") return TImageKind::Raw;
    return TImageKind::Ignored;
}

TImageKind LockKindOf(std::string_view fileName) {
    const std::string ext = UpperExt(fileName);
    if (ext == ".HEX") return TImageKind::Hex;
    if (ext == ".BIN") return TImageKind::Raw;
    return TImageKind::Ignored;
}

uint16_t ImageSum(const uint8_t* data, int64_t size) noexcept {
    // Bytes are added in four 16-bit lanes of a 64-bit word, even and odd bytes
    // at once. A lane gains at most 2 * 255 per word, so 128 words fit in a
    // lane before it is folded into the total.
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr int64_t kWordsPerFold = 128;
    uint64_t total = 0;
    int64_t i = 0;
    while (size - i >= 8) {
        const int64_t words = std::min<int64_t>((size - i) / 8, kWordsPerFold);
        uint64_t lanes = 0;
        for (int64_t w = 0; w < words; ++w, i += 8) {
            uint64_t word;
            std::memcpy(&word, data + i, 8);
            lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        total += (lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) + (lanes >> 48);
    }
    for (; i < size; ++i) total += data[i];
    return static_cast<uint16_t>(total);
}

bool OpenImage(const std::string& fileName, TImageInfo& info, THexRuns* runs) {
    const TImageKind kind = OpenKindOf(fileName);
    if (kind == TImageKind::Ignored) return false;
    std::string fullPath = rt::ExpandFileName(fileName);
    LoadCurrentImage(fileName, kind, runs);

    const uint8_t* data = CurrentImage->Memory();
    const int64_t size = CurrentImage->Size();
    const uint16_t sum = ImageSum(data, size);
    // The sum reads the whole image, which leaves the stream at its end.
    CurrentImage->SetPosition(size);

    std::lock_guard<std::mutex> guard(ImageInfoLock());
    info.Data = data;
    info.Size = size;
    info.Sum = sum;
    info.Keep = CurrentImage->Share();
    info.FullPath = std::move(fullPath);
    return true;
}

std::vector<std::string> SummaryLines(std::string_view fileName, const TImageInfo& info) {
    return {
        Join("Имя: ", rt::ExtractFileName(fileName)),
        Join("Размер: ", rt::IntToHex(static_cast<uint64_t>(info.Size), 4)),
        Join("Контрольная сумма: ", rt::IntToHex(info.Sum, 4)),
    };
}

std::string LockNameLine(std::string_view fileName) {
    return Join("Имя файла: ", rt::ExtractFileName(fileName));
}

std::optional<ScrambleKey> KeyFromText(std::string_view keyText) {
    std::string text;
    text.reserve(keyText.size());
    for (char c : keyText)
        if (c != ' ') text += c;

    // Characters, not bytes: a Cyrillic letter is one character of the key
    // text, and a bad pair is named with its whole characters.
    std::vector<std::string_view> chars;
    for (size_t pos = 0; pos < text.size() && chars.size() < 16;) {
        const size_t n = CharLength(text, pos);
        chars.push_back(std::string_view(text).substr(pos, n));
        pos += n;
    }
    if (chars.size() < 16) return std::nullopt;

    ScrambleKey key{};
    for (size_t i = 0; i < key.size(); ++i) {
        // The two characters lie side by side in text.
        const std::string_view pair(chars[2 * i].data(), chars[2 * i].size() + chars[2 * i + 1].size());
        key[i] = static_cast<uint8_t>(rt::HexDigitsToInt(pair));
    }
    return key;
}

ELockOntoItself::ELockOntoItself(const std::string& fileName)
    : rt::Exception("Cannot lock file \"" + fileName + "\": the output \"" + fileName +
                    ".lock\" is that same file") {}

std::optional<std::string> LockImage(const std::string& fileName, const ScrambleKey& key) {
    const TImageKind kind = LockKindOf(fileName);
    if (kind == TImageKind::Ignored) return std::nullopt;
    std::string lockPath = Join(fileName, ".lock");
    // Writing the scrambled bytes through a link to the source would lose it.
    if (rt::SameFile(fileName, lockPath)) throw ELockOntoItself(fileName);
    LoadCurrentImage(fileName, kind);

    std::unique_ptr<rt::TMemoryStream> locked = ScrambleStream(*CurrentImage, key);
    locked->SaveToFile(lockPath);

    // The locked stream becomes CurrentImage, positioned at 0: the file is
    // written, so nothing may fail from here on, and no third copy of the
    // image is needed. Any TImageInfo still holds the bytes it describes
    // through Keep, so the stream replaced here may go.
    CurrentImage = std::move(locked);
    return lockPath;
}

std::string LockDoneText(const std::string& lockPath) {
    return Join("Файл зашифрован ", lockPath);
}
