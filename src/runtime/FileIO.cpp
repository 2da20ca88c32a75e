#include "runtime/FileIO.h"

namespace rt {

std::string TrimErrorText(std::string text) {
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.back());
        if (c <= ' ' || c == '.' || c == 0x7F)
            text.pop_back();
        else
            break;
    }
    return text;
}

}  // namespace rt
