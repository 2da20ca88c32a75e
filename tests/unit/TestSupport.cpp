#include "TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include "runtime/Convert.h"

namespace fs = std::filesystem;

namespace testsupport {

void KeepJsonLines(std::string_view text) {
    const char* kept = std::getenv("FWL_JSON_LINES");
    if (!kept || !*kept) return;
    std::ofstream out(FromUtf8(kept), std::ios::binary | std::ios::app);
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.starts_with('{')) out << line << '\n';
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    if (!out) throw std::runtime_error(std::string("cannot keep JSON lines in ") + kept);
}

fs::path FromUtf8(const std::string& utf8Path) {
    return fs::path(std::u8string(utf8Path.begin(), utf8Path.end()));
}

std::string ToUtf8(const fs::path& path) {
    auto u = path.u8string();
    return std::string(u.begin(), u.end());
}

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = fs::temp_directory_path() / ("fwl-test-" + std::to_string(rd()));
        if (fs::create_directory(candidate)) {
            root_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string TempDir::Path(const std::string& name) const {
    return ToUtf8(root_ / FromUtf8(name));
}

CurrentFolder::CurrentFolder(const fs::path& to) : before_(fs::current_path()) {
    fs::current_path(to);
}

CurrentFolder::~CurrentFolder() {
    fs::current_path(before_);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(FromUtf8(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(FromUtf8(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string DataPath(const std::string& relative) {
    return std::string(FWL_TEST_DATA_DIR) + "/" + relative;
}

std::string HexRecord(uint32_t address, uint8_t type, const std::vector<uint8_t>& data) {
    uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + address + type);
    std::string text(":");
    text += rt::IntToHex(data.size(), 2) + rt::IntToHex(address & 0xFFFF, 4) + rt::IntToHex(type, 2);
    for (const uint8_t b : data) {
        text += rt::IntToHex(b, 2);
        sum += b;
    }
    return text + rt::IntToHex(static_cast<uint8_t>(-sum), 2) + "\n";
}

std::string ZeroRunsHex(const std::vector<std::pair<uint32_t, uint32_t>>& runs) {
    std::string text;
    for (const auto& [first, count] : runs) {
        for (uint32_t at = first; at < first + count;) {
            const uint32_t n = std::min({first + count - at, 0x10000 - (at & 0xFFFF), uint32_t{255}});
            if (at == first || (at & 0xFFFF) == 0)
                text += HexRecord(0, 4, {static_cast<uint8_t>(at >> 24), static_cast<uint8_t>(at >> 16)});
            text += HexRecord(at, 0, std::vector<uint8_t>(n, 0));
            at += n;
        }
    }
    return text + ":00000001FF\n";
}

}  // namespace testsupport

#if defined(__SANITIZE_ADDRESS__)
// Out-of-memory paths are tested with impossible sizes: let the allocator
// answer null instead of aborting the run.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif
