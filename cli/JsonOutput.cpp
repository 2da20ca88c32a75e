#include "JsonOutput.h"

#include "image/CommandImage.h"

std::locale::id TUtf8Bytes::id;

void WriteJsonLine(std::ostream& out, const nlohmann::ordered_json& value) {
    if (!CarriesUtf8Bytes(out.getloc())) out.imbue(std::locale(out.getloc(), new TUtf8Bytes));
    nlohmann::ordered_json line = {{"format", kJsonFormat}};
    for (const auto& [name, member] : value.items())
        if (name != "format") line[name] = member;
    out << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

nlohmann::ordered_json JsonError(std::string_view text, std::optional<uint32_t> osCode) {
    return {{"text", text}, {"os_code", osCode ? nlohmann::ordered_json(*osCode) : nlohmann::ordered_json()}};
}

nlohmann::ordered_json JsonError(std::exception_ptr failure) {
    return JsonError(FailureText(failure), FailureOsCode(failure));
}

bool CarriesUtf8Bytes(const std::locale& locale) {
    return std::has_facet<TUtf8Bytes>(locale);
}
