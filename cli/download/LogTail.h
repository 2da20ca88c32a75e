// Reading a production log as it grows, beside the stations that append to it.
#pragma once

#include <cstdint>
#include <string>

// Windows: the log's bytes from offset to its end as it is now; empty when
// there are none or it cannot be read (what it would have told is a note,
// never a reason to stop).
std::string ReadLogFrom(const std::string& fileName, uint64_t offset);
