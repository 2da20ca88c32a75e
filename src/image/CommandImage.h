// What the commands share below their dispatch: the image opened as the
// window's Open does, and a failure's text as the window would show it.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "image/FirmwareImage.h"
#include "runtime/Exceptions.h"

// Failures the tool finds itself, shown like the runtime's.
class ECommandError : public rt::Exception {
public:
    using rt::Exception::Exception;
};

std::string Quoted(const std::string& path);

// Why an empty image is not sent: the window sends it as it is, but a script
// that does has surely been given the wrong file.
inline constexpr const char* kEmptyImageText = "The image is empty; fwimage download refuses it";

// Refuses fileName when it names a device (CON, NUL, COM1, ...), in the
// words of --log's refusal: the system would name it by its device path.
void RefuseDevice(const std::string& fileName);

// A .bin or .lock file longer than the longest image an in-memory stream
// holds (the 32-bit build cannot map more) is "Out of memory" for every
// command in both builds, decided from its size before anything is read.
void RefuseOversizedImage(const std::string& fileName);

// Opens fileName into CurrentImage as the window's Open does; an extension
// the window would ignore, a device's name or an oversized image is a
// failure here.
void OpenCommandImage(const std::string& fileName, TImageInfo& info, THexRuns* runs = nullptr);

// An image that holds nothing of the file: empty, or the one 0xFF byte the
// window makes of a .hex file without a data record. fileName is read again
// only for a one-byte image of a .hex file; when that fails, the image counts
// as holding data.
bool ImageHoldsNoData(const std::string& fileName, const TImageInfo& info);

// A caught failure's text as the window would show it.
std::string FailureText(std::exception_ptr failure);
// The system's code for a caught failure, when the system gave one.
std::optional<uint32_t> FailureOsCode(std::exception_ptr failure);
