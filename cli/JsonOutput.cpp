#include "JsonOutput.h"

std::locale::id TUtf8Bytes::id;

void WriteJsonLine(std::ostream& out, const nlohmann::ordered_json& value) {
    if (!CarriesUtf8Bytes(out.getloc())) out.imbue(std::locale(out.getloc(), new TUtf8Bytes));
    out << value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

bool CarriesUtf8Bytes(const std::locale& locale) {
    return std::has_facet<TUtf8Bytes>(locale);
}
