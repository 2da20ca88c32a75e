#include "image/LockCommand.h"

#include <cctype>

#include "image/FirmwareImage.h"
#include "runtime/FileIO.h"

std::optional<std::string> KeyTextFault(std::string_view keyText) {
    if (keyText.empty()) return "it is empty";
    size_t digits = 0;
    for (size_t i = 0; i < keyText.size(); ++i) {
        const auto c = static_cast<unsigned char>(keyText[i]);
        if (c == ' ') continue;
        if (std::isxdigit(c)) {
            ++digits;
            continue;
        }
        // The whole character, not its first byte.
        size_t length = 1;
        while (i + length < keyText.size() &&
               (static_cast<unsigned char>(keyText[i + length]) & 0xC0) == 0x80)
            ++length;
        return "\"" + std::string(keyText.substr(i, length)) + "\" is not a hexadecimal digit";
    }
    if (digits != 16)
        return "it has " + std::to_string(digits) + " hexadecimal digits besides blanks, not 16";
    return std::nullopt;
}

void Lock(const std::string& fileName, const std::string& keyText, std::ostream& out) {
    const std::optional<ScrambleKey> key = KeyFromText(keyText);
    if (!key)
        throw ECommandError("The key " + Quoted(keyText) +
                            " has fewer than 16 characters besides blanks; it needs 8 hexadecimal pairs");
    if (ScrambleByte(*key, 0) == 0)
        throw EKeyChangesNothing("The key " + Quoted(keyText) +
                                 " changes nothing: its steps amount to an XOR with 00, which leaves every "
                                 "byte as it is; choose another key");
    RefuseDevice(fileName);
    if (LockKindOf(fileName) == TImageKind::Raw) RefuseOversizedImage(fileName);
    // The name is opened as given: its full path may be too long to open.
    const std::optional<std::string> lockPath = LockImage(fileName, *key);
    if (!lockPath)
        throw ECommandError("Cannot lock file " + Quoted(fileName) +
                            ": only .hex and .bin files can be locked");
    // The window's dialog gives a full path, and its message names the .lock
    // file by it.
    out << LockDoneText(rt::ExpandFileName(*lockPath)) << '\n';
}
