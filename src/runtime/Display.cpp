#include "runtime/Display.h"

namespace rt {

std::string FailureDisplayText(const std::string& message) {
    if (message.empty()) return message;
    const auto last = static_cast<unsigned char>(message.back());
    // A UTF-8 sequence ends in a continuation byte (>= 0x80), itself above ".".
    if (last > 0x2E) return message + ".";
    return message;
}

} // namespace rt
