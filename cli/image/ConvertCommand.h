// fwimage convert: an Intel HEX file's flat image written as a file.
#pragma once

#include <string>

// Writes the image of hexName to binName; a file that is not a .hex file, or
// an output that is the input under another name, is refused.
void Convert(const std::string& hexName, const std::string& binName);
