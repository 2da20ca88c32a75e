// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Expects statement to throw exactly the kind `type` with message text `msg`.
#define EXPECT_THROW_MSG(statement, type, msg)                                         \
    do {                                                                               \
        try {                                                                          \
            statement;                                                                 \
            ADD_FAILURE() << "expected " #type " \"" << (msg) << "\", nothing thrown"; \
        } catch (const type& e_) {                                                     \
            EXPECT_EQ(std::string(msg), e_.Message());                                 \
        } catch (const std::exception& e_) {                                           \
            ADD_FAILURE() << "expected " #type ", got: " << e_.what();                 \
        }                                                                              \
    } while (0)

namespace testsupport {

// A fresh empty folder for one test, removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // UTF-8 path of name inside the folder.
    std::string Path(const std::string& name) const;
    const std::filesystem::path& Root() const { return root_; }

private:
    std::filesystem::path root_;
};

// Moves into a folder, and back to the one before when the object goes.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::filesystem::path& to);
    ~CurrentFolder();
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

private:
    std::filesystem::path before_;
};

// A UTF-8 path as the library's path, and back.
std::filesystem::path FromUtf8(const std::string& utf8Path);
std::string ToUtf8(const std::filesystem::path& path);

// Keeps every JSON line of text (a line that starts with '{') for the check
// of all JSON lines against docs/fwimage.schema.json: appended to the file
// that FWL_JSON_LINES names, when it is set.
void KeepJsonLines(std::string_view text);

void WriteFile(const std::string& path, const std::string& bytes);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);

// UTF-8 path of a file under tests/data.
std::string DataPath(const std::string& relative);

// One Intel HEX record line with its checksum.
std::string HexRecord(uint32_t address, uint8_t type, const std::vector<uint8_t>& data);

// Intel HEX of zero bytes in each run (first address, count), for images
// too large to spell out.
std::string ZeroRunsHex(const std::vector<std::pair<uint32_t, uint32_t>>& runs);

}  // namespace testsupport
