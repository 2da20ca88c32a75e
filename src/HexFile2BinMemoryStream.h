// Intel HEX to flat image conversion, and the keyed byte scrambler of the
// .lock format.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/MemoryStream.h"

struct THexExtent {
    uint32_t FirstAddress;
    uint32_t Length;
};

// First pass: where the image starts and how long it is.
THexExtent HexFileExtent(const std::string& fileName);

// Both passes: a new 0xFF-filled flat image, positioned at 0, owned by the caller.
std::unique_ptr<rt::TMemoryStream> HexFileToStream(const std::string& fileName);

// Releases the conversion buffer (program exit).
void FinalizeHexFile2BinMemoryStream() noexcept;

using ScrambleKey = std::array<uint8_t, 8>;

uint8_t RotateLeft1(uint8_t value);
uint8_t RotateRight1(uint8_t value);
uint8_t ScrambleByte(ScrambleKey key, uint8_t value);
// The whole source scrambled byte by byte into a new stream positioned at 0;
// the source is left at its end.
std::unique_ptr<rt::TMemoryStream> ScrambleStream(rt::TMemoryStream& source, ScrambleKey key);
