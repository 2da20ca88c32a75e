// How a failure's text is shown to the operator.
#pragma once

#include <string>

namespace rt {

// The message with a full stop added when its last character lies above "."
// in the single-byte code table the texts were made for. Every non-ASCII
// character lies above it there, so for UTF-8 text the rule is: the last code
// point is greater than 0x2E.
std::string FailureDisplayText(const std::string& message);

} // namespace rt
