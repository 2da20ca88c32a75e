#include "runtime/Exceptions.h"

namespace rt {

EFOpenError::EFOpenError(const std::string& fileName, const std::string& osText,
                         std::optional<uint32_t> osCode)
    : Exception("Cannot open file \"" + fileName + "\". " + osText, osCode) {}

EFCreateError::EFCreateError(const std::string& fileName, const std::string& osText,
                             std::optional<uint32_t> osCode)
    : Exception("Cannot create file \"" + fileName + "\". " + osText, osCode) {}

EFileChanged::EFileChanged(const std::string& fileName)
    : Exception("File \"" + fileName + "\" changed while it was read") {}

EConvertError EConvertError::InvalidInteger(const std::string& text) {
    return EConvertError("'" + text + "' is not a valid integer value");
}

EOSError::EOSError(uint32_t code, const std::string& osText)
    : Exception(code == 0 ? std::string("A call to an OS function failed")
                          : "System Error.  Code: " + std::to_string(code) + ".\r\n" + osText,
                code == 0 ? std::nullopt : std::optional(code)) {}

EStreamError::EStreamError() : Exception("Out of memory while expanding memory stream") {}

EOutOfMemory::EOutOfMemory() : Exception("Out of memory") {}

EReadError::EReadError() : Exception("Stream read error") {}

}  // namespace rt
