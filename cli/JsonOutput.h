// Machine-readable output (--json): JSON Lines, one value per line, in UTF-8
// bytes whatever the console's code page.
#pragma once

#include <cstdint>
#include <exception>
#include <locale>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string_view>

// The version of the format every line carries as "format". Lines of a
// later version only ever add members.
inline constexpr int kJsonFormat = 1;

// Writes the object value on one line of out, "format" first, then its
// members in the order they were added. Text that is not valid UTF-8 (a file
// name's stray byte) becomes U+FFFD rather than failing the output.
void WriteJsonLine(std::ostream& out, const nlohmann::ordered_json& value);

// The "error" member of every failure: {"text": ..., "os_code": N or null}.
nlohmann::ordered_json JsonError(std::string_view text, std::optional<uint32_t> osCode = std::nullopt);
// The same for a caught failure: its text as the window would show it.
nlohmann::ordered_json JsonError(std::exception_ptr failure);

// The locale facet that marks a stream as carrying UTF-8 bytes: a stream
// buffer that converts text for a console's code page sees it through
// imbue() and passes such a stream's bytes as they are. WriteJsonLine puts
// it on the stream before the first byte.
struct TUtf8Bytes : std::locale::facet {
    static std::locale::id id;
};

bool CarriesUtf8Bytes(const std::locale& locale);
