// How a failure's text is shown to the operator.
#pragma once

#include <exception>
#include <string>

namespace rt {

// The message with a full stop added when its last character lies above "."
// in the single-byte code table the texts were made for. Every non-ASCII
// character lies above it there, so for UTF-8 text the rule is: the last code
// point is greater than 0x2E.
std::string FailureDisplayText(const std::string& message);

// The message of a caught failure, before FailureDisplayText: the runtime's
// own text, "Out of memory" for a failed allocation, what() of any other
// standard exception, and a fixed text for anything else.
std::string FailureMessage(std::exception_ptr failure);

}  // namespace rt
