#include "image/CommandImage.h"

#include "download/DownloadLogFile.h"

#include "image/HexRecord.h"
#include "image/HexText.h"
#include "runtime/Display.h"
#include "runtime/FileIO.h"

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

void RefuseDevice(const std::string& fileName) {
    if (const std::string device = ReservedDeviceName(fileName); !device.empty())
        throw ECommandError("Cannot open file " + Quoted(fileName) + ": " + device +
                            " is a device, not a file");
}

void RefuseOversizedImage(const std::string& fileName) {
    if (OpenKindOf(fileName) != TImageKind::Raw) return;
    if (static_cast<uint64_t>(rt::TReadFile(fileName).Stamp().size) > kLargestHexImage) throw rt::EOutOfMemory();
}

void OpenCommandImage(const std::string& fileName, TImageInfo& info, THexRuns* runs) {
    RefuseDevice(fileName);
    RefuseOversizedImage(fileName);
    if (!OpenImage(fileName, info, runs))
        throw ECommandError("Cannot open file " + Quoted(fileName) +
                            ": only .hex, .bin and .lock files are images");
}

std::string FailureText(std::exception_ptr failure) {
    return rt::FailureDisplayText(rt::FailureMessage(failure));
}

std::optional<uint32_t> FailureOsCode(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const rt::Exception& e) {
        return e.OsCode();
    } catch (...) {
        return std::nullopt;
    }
}

bool ImageHoldsNoData(const std::string& fileName, const TImageInfo& info) {
    if (info.Size == 0) return true;
    if (info.Size != 1 || info.Data[0] != 0xFF || OpenKindOf(fileName) != TImageKind::Hex) return false;
    try {
        rt::TReadFile file(fileName);
        hexrecord::TReader reader;
        bool data = false;
        hextext::ForEachLine(
            [&](char* buffer, int64_t count) { return file.Read(buffer, count); }, hextext::kDefaultBlockSize,
            [&](const char* s, std::size_t n, uint64_t line) {
                hexrecord::TRecord record;
                data = data || (reader.Read(s, n, line, record) && record.type == hexrecord::kData);
            });
        return !data;
    } catch (const rt::Exception&) {
        return false;
    }
}
