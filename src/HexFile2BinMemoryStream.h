// Intel HEX to flat image conversion, and the keyed byte scrambler of the
// .lock format.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/MemoryStream.h"

struct THexExtent {
    uint32_t FirstAddress;
    uint32_t Length;
};

// First pass: where the image starts and how long it is.
THexExtent HexFileExtent(const std::string& fileName);

// Addresses [First, End) that data records fill without a gap.
struct THexRun {
    uint32_t First;
    uint64_t End;
    bool operator==(const THexRun&) const = default;
};

// Where a file's data records lie, gathered as the records go by: the runs
// in ascending order, touching and overlapping records joined.
class THexRuns {
public:
    void Add(uint32_t first, uint64_t end) {
        if (!anyRecord_ || first < imageFirst_) imageFirst_ = first;
        anyRecord_ = true;
        // A record without bytes widens the image but holds no data.
        if (end == first) return;
        // Records mostly follow one another: extend the last run.
        if (!runs_.empty() && first == runs_.back().End) {
            if (end > runs_.back().End) runs_.back().End = end;
        } else if (!runs_.empty() && first >= runs_.back().First && end <= runs_.back().End) {
            // written again: nothing new
        } else {
            Append(first, end);
        }
    }
    // Sorted and joined; runs of no byte left out.
    const std::vector<THexRun>& Runs();
    // Whether any data record came, and the lowest address of one (where the
    // image starts, also when that record holds no byte).
    bool AnyRecord() const { return anyRecord_; }
    uint32_t ImageFirst() const { return imageFirst_; }

private:
    void Append(uint32_t first, uint64_t end);
    void Join();
    std::vector<THexRun> runs_;
    std::size_t joinedCount_ = 0;
    uint32_t imageFirst_ = 0xFFFFFFFF;
    bool anyRecord_ = false;
};

// The in-memory stream holds at most 2 GiB - 1 bytes; a 32-bit process
// cannot map more anyway. A longer image is "Out of memory".
inline constexpr uint64_t kLargestHexImage = 0x7FFFFFFF;

// Both passes: a new 0xFF-filled flat image, positioned at 0, owned by the
// caller. With runs, the first pass also records where the data lie.
std::unique_ptr<rt::TMemoryStream> HexFileToStream(const std::string& fileName, THexRuns* runs = nullptr);

// Releases the conversion buffer (program exit).
void FinalizeHexFile2BinMemoryStream() noexcept;

using ScrambleKey = std::array<uint8_t, 8>;

uint8_t RotateLeft1(uint8_t value);
uint8_t RotateRight1(uint8_t value);
uint8_t ScrambleByte(ScrambleKey key, uint8_t value);
// The whole source scrambled byte by byte into a new stream positioned at 0;
// the source is left at its end.
std::unique_ptr<rt::TMemoryStream> ScrambleStream(rt::TMemoryStream& source, ScrambleKey key);
