// Internal entry points of the Intel HEX converter for tests and fuzzing: the
// same conversion over text held in memory, read in blocks of a chosen size
// so that lines split across blocks can be exercised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "HexFile2BinMemoryStream.h"
#include "image/HexText.h"

namespace hexparse {

using hextext::kDefaultBlockSize;

THexExtent TextExtent(std::string_view text, std::size_t blockSize = kDefaultBlockSize);
std::unique_ptr<rt::TMemoryStream> TextToStream(std::string_view text,
                                                std::size_t blockSize = kDefaultBlockSize);

// HexFileToStream with a step run between the two passes over the file, and
// one run once the file is open, before the first.
std::unique_ptr<rt::TMemoryStream> FileToStream(const std::string& fileName,
                                                const std::function<void()>& betweenPasses,
                                                const std::function<void()>& beforeFirstPass = {});

// Bytes held by the unit's conversion buffer (0 when it is empty).
int64_t ImageBufferLength() noexcept;

}  // namespace hexparse
