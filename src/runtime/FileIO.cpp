#include "runtime/FileIO.h"

#include <random>

#include "runtime/Convert.h"
#include "runtime/Exceptions.h"

namespace rt {

void TReadFile::CheckUnchanged(const TFileStamp& before) const {
    if (Stamp() != before) throw EFileChanged(ExpandFileName(fileName_));
}

std::string TemporaryName() {
    static std::random_device seed;
    static std::mt19937 numbers(seed());
    return ".~" + IntToHex(numbers(), 8) + ".tmp";
}

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
