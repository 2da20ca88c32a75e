#include "ConsoleFixture.h"

// After <windows.h>.
#include <tlhelp32.h>

#include <cstdio>

namespace e2e {

std::string Sum16Hex(const std::string& bytes) {
    uint32_t sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    char text[8];
    snprintf(text, sizeof text, "%04X", sum & 0xFFFF);
    return text;
}

std::string SizeHex(size_t size) {
    char text[16];
    snprintf(text, sizeof text, "%04X", static_cast<unsigned>(size));
    return text;
}

std::wstring SystemFile(const std::wstring& name) {
    wchar_t folder[MAX_PATH];
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

std::string LastLine(const std::string& text) {
    const std::vector<std::string> lines = Split(text, '\n');
    return lines.empty() ? "" : lines.back();
}

std::vector<std::string> OwnLines(const std::string& text) {
    std::vector<std::string> own;
    for (const std::string& line : Split(text, '\n'))
        if (line.rfind("DFU.dll: ", 0) != 0 && line.rfind("wine: ", 0) != 0) own.push_back(line);
    return own;
}

std::string CodeMasked(std::string line) {
    const std::string exit = "(код выхода ";
    if (const size_t at = line.find(exit); at != std::string::npos && line.size() >= at + exit.size() + 8)
        line.replace(at + exit.size(), 8, "########");
    return line;
}

size_t RunningProcesses(const std::wstring& exeName) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    size_t running = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        running += _wcsicmp(entry.szExeFile, exeName.c_str()) == 0;
    CloseHandle(snapshot);
    return running;
}

std::vector<std::string> LibraryCalls(const std::wstring& simLog) {
    std::vector<std::string> calls;
    if (GetFileAttributesW(simLog.c_str()) == INVALID_FILE_ATTRIBUTES) return calls;
    for (const std::string& line : Split(ReadBytes(simLog), '\n')) {
        const size_t result = line.find(") = ");
        if (result == std::string::npos) continue;
        for (const auto& [name, call] : {std::pair<const char*, std::string_view>{"ISP", "DFU_Reset_To_ISP("},
                                         {"Download", "DFU_Download("},
                                         {"AP", "DFU_Reset_To_AP("}})
            if (line.rfind(call, 0) == 0)
                calls.push_back(std::string(name) + "=" + line.substr(result + 4, 1));
    }
    return calls;
}

void ExpectEvents(const std::vector<nlohmann::json>& expected, const std::string& out) {
    testsupport::KeepJsonLines(out);
    std::vector<nlohmann::json> events;
    for (const std::string& line : Split(out, '\n')) {
        const nlohmann::json event = nlohmann::json::parse(line);
        EXPECT_EQ(1, event.value("format", 0)) << line;
        if (event.at("event") != "searching" && event.at("event") != "loading") events.push_back(event);
    }
    ASSERT_EQ(expected.size(), events.size()) << out;
    for (size_t i = 0; i < events.size(); ++i)
        for (const auto& [key, value] : expected[i].items())
            EXPECT_EQ(value, events[i].value(key, nlohmann::json())) << "event " << i << ", " << key;
}

}  // namespace e2e
