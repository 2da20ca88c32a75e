#include "image/HexRecord.h"

#include <string>

namespace hexrecord {

rt::EConvertError BadFieldError(std::string_view field, std::string_view suffix) {
    return rt::EConvertError::InvalidInteger("$" + rt::AnsiToUtf8(field) + std::string(suffix));
}

void BadField(std::string_view field, std::string_view suffix) {
    throw BadFieldError(field, suffix);
}

void Truncated(uint64_t lineNumber) {
    throw rt::EConvertError("Record at line " + std::to_string(lineNumber) + " is truncated");
}

void PastTop(uint64_t lineNumber) {
    throw rt::EConvertError("Record at line " + std::to_string(lineNumber) + " runs past address FFFFFFFF");
}

}  // namespace hexrecord
