// A unit's serial number as a record keeps it, and the log's memory of the
// serials it has seen done: which unit got which firmware. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

inline constexpr size_t kSerialMostCharacters = 64;
// Its most bytes in UTF-8, for the room a record needs.
inline constexpr size_t kSerialMostBytes = kSerialMostCharacters * 4;

// Why a serial cannot be recorded. Empty: nothing but blanks; Control: a tab,
// a line end or another control character, which would break the record's
// line; TooLong: more than kSerialMostCharacters characters; NotText: not UTF-8.
enum class TSerialProblem { None, Empty, Control, TooLong, NotText };

// The serial in text: without the blanks (and the line end) around it.
std::string_view TrimmedSerial(std::string_view text);
// Of a trimmed serial.
TSerialProblem SerialProblem(std::string_view serial);
// --serial's value: the trimmed serial; none when it cannot be recorded.
std::optional<std::string> SerialOption(std::string_view text);

// The done records of a log by serial and image, read as the log grows: once
// whole, then only what has been appended since.
class TSerialHistory {
public:
    struct TDone {
        std::string UtcTime;
        std::string Station;
    };

    // Takes the whole lines at the front of bytes, the log's from the byte
    // after those taken so far; a line without its end yet is left for later.
    void Take(std::string_view bytes);
    // The log's bytes taken so far: where the next read starts.
    uint64_t Taken() const { return taken_; }
    // The last done record of serial with that SHA-256, if any.
    std::optional<TDone> LastDone(std::string_view serial, std::string_view sha256) const;

private:
    uint64_t taken_ = 0;
    std::map<std::string, TDone, std::less<>> done_;  // serial, tab, SHA-256
};

// The line before a unit whose serial has been done with this image already.
std::string AlreadyDoneLine(std::string_view serial, const TSerialHistory::TDone& done);
