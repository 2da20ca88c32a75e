// The open firmware image: CurrentImage, TImageInfo, opening by extension,
// the checksum, the summary lines, and the lock steps. Needs no window.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HexFile2BinMemoryStream.h"
#include "runtime/Exceptions.h"
#include "runtime/MemoryStream.h"

// Describes the open image. Keep holds the bytes that Data points to, so they
// stay allocated and unchanged for as long as any copy of the record exists.
struct TImageInfo {
    const uint8_t* Data = nullptr;
    int64_t Size = 0;
    uint16_t Sum = 0;
    std::shared_ptr<const uint8_t[]> Keep;
    // The file it was opened from, made full when it was opened (a later
    // dialog may change the current folder): what a download's record names.
    std::string FullPath;
};

// The process-wide image; absent (null) until the first open.
extern std::unique_ptr<rt::TMemoryStream> CurrentImage;

// Guards every change to a TImageInfo that another thread may copy.
std::mutex& ImageInfoLock();

// A copy of info taken under ImageInfoLock().
TImageInfo SnapshotImageInfo(const TImageInfo& info);

enum class TImageKind { Hex, Raw, Ignored };

// How a chosen file is opened: ".HEX" converts, ".BIN" and ".LOCK" load byte
// for byte, anything else is ignored (letter case does not matter).
TImageKind OpenKindOf(std::string_view fileName);
// The same for the lock steps: ".LOCK" is ignored there.
TImageKind LockKindOf(std::string_view fileName);

// 16-bit sum of the bytes, carry out of bit 15 dropped.
uint16_t ImageSum(const uint8_t* data, int64_t size) noexcept;

// Opens fileName into CurrentImage and sets info (under ImageInfoLock()).
// Returns false, changing nothing, for an ignored extension. Failures raise
// and leave CurrentImage's contents and info as they were. For a .hex file,
// runs (when given) receives where its data records lie.
bool OpenImage(const std::string& fileName, TImageInfo& info, THexRuns* runs = nullptr);

// "Имя: <name>", "Размер: <hex>", "Контрольная сумма: <hex>".
std::vector<std::string> SummaryLines(std::string_view fileName, const TImageInfo& info);

// "Имя файла: <name>", the only line the lock steps show.
std::string LockNameLine(std::string_view fileName);

// The key from the key text: blanks removed, fewer than 16 characters left
// gives nothing; the first pair that is not two hexadecimal digits raises
// EConvertError naming "$" and that pair.
std::optional<ScrambleKey> KeyFromText(std::string_view keyText);

// "Cannot lock file "<file>": the output "<file>.lock" is that same file",
// when the .lock name is a link to the file itself.
class ELockOntoItself : public rt::Exception {
public:
    explicit ELockOntoItself(const std::string& fileName);
};

// The lock steps after the dialog: loads fileName into CurrentImage, writes
// "<fileName>.lock" and leaves the scrambled image in CurrentImage. Returns
// the written path, or nothing (and writes nothing) for an ignored extension.
// Raises ELockOntoItself, before anything is read, when the .lock name
// stands for fileName itself.
std::optional<std::string> LockImage(const std::string& fileName, const ScrambleKey& key);

// "Файл зашифрован <path>"
std::string LockDoneText(const std::string& lockPath);

// The default key box text.
inline constexpr std::string_view kDefaultKeyText = "3C 5A 91 0E D4 27 B8 66";
