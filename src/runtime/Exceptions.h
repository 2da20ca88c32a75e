// Failure kinds raised by the runtime. Each kind's text is defined once, here
// and in Exceptions.cpp; texts are UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace rt {

// Base of every failure the program shows to the operator. Message() is the
// text before the failure display adds its full stop.
class Exception : public std::exception {
public:
    explicit Exception(std::string message, std::optional<uint32_t> osCode = std::nullopt)
        : message_(std::move(message)), osCode_(osCode) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }
    // The system's code for the failure (the Windows error code, errno
    // natively), when the system gave one.
    std::optional<uint32_t> OsCode() const noexcept { return osCode_; }

private:
    std::string message_;
    std::optional<uint32_t> osCode_;
};

// "Cannot open file "%s". %s"
class EFOpenError : public Exception {
public:
    EFOpenError(const std::string& fileName, const std::string& osText,
                std::optional<uint32_t> osCode = std::nullopt);
};

// "Cannot create file "%s". %s"
class EFCreateError : public Exception {
public:
    EFCreateError(const std::string& fileName, const std::string& osText,
                  std::optional<uint32_t> osCode = std::nullopt);
};

// "File "%s" changed while it was read": its size or time of change differs
// between two reads that must see the same content.
class EFileChanged : public Exception {
public:
    explicit EFileChanged(const std::string& fileName);
};

// "'%s' is not a valid integer value", or another conversion text given whole.
class EConvertError : public Exception {
public:
    using Exception::Exception;
    static EConvertError InvalidInteger(const std::string& text);
};

// "System Error.  Code: %d.\r\n%s", or "A call to an OS function failed" for code 0.
class EOSError : public Exception {
public:
    EOSError(uint32_t code, const std::string& osText);
    uint32_t Code() const noexcept { return OsCode().value_or(0); }
};

// "Out of memory while expanding memory stream"
class EStreamError : public Exception {
public:
    EStreamError();
};

// "Out of memory"
class EOutOfMemory : public Exception {
public:
    EOutOfMemory();
};

// "Stream read error"
class EReadError : public Exception {
public:
    EReadError();
};

}  // namespace rt
