// What every end-to-end test shares: the loader's title and path, starting a
// program (the loader or another program of the test) with arguments, extra
// environment and captured output, a temporary folder, and a GoogleTest
// fixture that starts the loader and opens files through its window.
#pragma once

#include "window/ControlIds.h"
#include "Driver.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

inline const std::wstring kTitle = L"Загрузчик для тестера";
constexpr DWORD kStartMs = 20000;  // the first window on a fresh display is slow

// Records at 0x0000 and 0x0010: a 20-byte image with 12 bytes of 0xFF between.
inline const std::string kHexTwoRecords =
    ":0400000001020304F2\r\n"
    ":04001000AABBCCDDDE\r\n"
    ":00000001FF\r\n";

// The image of kHexTwoRecords.
inline const std::string kHexImage =
    std::string("\x01\x02\x03\x04", 4) + std::string(12, '\xFF') + "\xAA\xBB\xCC\xDD";

// SHA-256 of the image of kHexTwoRecords.
inline const std::string kHexTwoRecordsSha256 =
    "c8610b4819f24df875c258f3d16f13287ced5c7a02973867505a28abc5a6db40";

// The folder of the programs under test: FWL_E2E_BIN, else this exe's folder.
std::wstring BinFolder();
// A file in that folder, and the loader there.
std::wstring BinPath(const std::wstring& name);
std::wstring LoaderPath();

// ---------------------------------------------------------------------------
// Files

// A fresh folder under the temporary folder (in its long form, as the loader
// shows full paths), removed with everything in it when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::wstring Path(const std::wstring& relative) const { return root_ + L"\\" + relative; }
    const std::wstring& Root() const { return root_; }
    // Writes bytes to the file, making its folders first; returns its path.
    std::wstring Write(const std::wstring& relative, const std::string& bytes) const;

private:
    std::wstring root_;
};

// The whole file; throws when it cannot be opened.
std::string ReadBytes(const std::wstring& path);

// The parts of text between separators; none after a last separator.
std::vector<std::string> Split(const std::string& text, char separator);

// The header row of a new download log, without its mark and line end.
inline const std::string kLogHeader =
    "UTC time\tFile\tSize (hex)\tSum (hex)\tOutcome\tExit code\tSHA-256\tSeconds\tTool\tUnit\tSerial\tStation\tOperator";

// The Station and Operator columns of a record made here, a tab between them.
inline std::string StationAndOperator() {
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1], user[257];
    DWORD computerSize = MAX_COMPUTERNAME_LENGTH + 1, userSize = 257;
    if (!GetComputerNameW(computer, &computerSize) || !GetUserNameW(user, &userSize)) return "?";
    return Narrow(computer) + "\t" + Narrow(user);
}

// ---------------------------------------------------------------------------
// Starting programs

// Variables added to the current environment, replacing those of the same name.
using Env = std::vector<std::pair<std::wstring, std::wstring>>;

// How a program is started; fill the fields by name:
//   Program p(LoaderPath(), {.args = {L"fw.bin"}, .env = {{L"FWL_DFU_RATE", L"0"}}});
struct Launch {
    std::vector<std::wstring> args{};  // after the program's name, quoted here as needed
    Env env{};
    std::wstring workDir{};  // default: the program's folder
    std::wstring outFile{};  // standard output goes to this file when set (overwritten)
    std::wstring errFile{};  // standard error likewise
};

// The command line for CreateProcessW: the program's name in quotes, then
// each argument quoted so that the C runtime's parser gives it back as it
// stands (blanks, quotes, trailing backslashes, empty arguments).
std::wstring CommandLine(const std::wstring& exe, const std::vector<std::wstring>& args);

class Program {
public:
    // L"NAME=value" (as SimControl::EnvAssignment gives it) as an Env entry.
    static std::pair<std::wstring, std::wstring> Assignment(const std::wstring& nameEqualsValue);

    explicit Program(const std::wstring& exe, const Launch& launch = {});
    // Ends the process if it is still running, so a failed test never hangs.
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    DWORD Pid() const { return pid_; }
    bool Running() const;

    // The visible top-level window of this process with this caption.
    HWND WaitForWindow(const std::wstring& caption, DWORD ms = kWaitMs);
    // A child of the main window by control ID; throws when there is none.
    HWND Control(int id) const;

    HWND WaitForMessageBox(DWORD ms = kWaitMs);
    HWND WaitForFileDialog(DWORD ms = kWaitMs);
    // No message box and no dialog of this process is open.
    bool NoDialogs() const;

    // Fills the file-open dialog and presses Open; waits until it is gone.
    void ChooseFile(const std::wstring& path, DWORD ms = kWaitMs);
    void CancelFileDialog(DWORD ms = kWaitMs);

    void PostClose();     // WM_CLOSE
    void PostSysClose();  // WM_SYSCOMMAND SC_CLOSE (title-bar button, system menu)

    // True and the exit code when the process ended within ms.
    bool WaitForExit(DWORD ms, DWORD* exitCode = nullptr);
    // The exit code; throws Timeout when the process is still running.
    DWORD ExitCode(DWORD ms = kWaitMs);

    void Kill();

private:
    // The first dialog of the program that has a child with childId.
    HWND WaitForDialog(int childId, const std::string& what, DWORD ms);

    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    HWND main_ = nullptr;
};

// ---------------------------------------------------------------------------
// The loader's window

// How a file reaches the loader: its Open dialog, a drop on its window (as
// from Explorer), or its command line ("Open with", the program's icon).
enum class Way { Dialog, Drop, CommandLine };
const char* WayName(Way way);

// Starts the loader (Start) and works its window. The program ends before
// the temporary folder goes, so its files can be removed.
class LoaderTest : public ::testing::Test {
protected:
    void TearDown() override { program_.reset(); }

    // Starts the loader and waits for its window.
    void Start(const Launch& launch = {}) {
        launch_ = launch;
        program_ = std::make_unique<Program>(LoaderPath(), launch);
        main_ = program_->WaitForWindow(kTitle, kStartMs);
        windowThread_ = GetWindowThreadProcessId(main_, nullptr);
    }

    HWND Ctl(int id) const { return program_->Control(id); }
    // The lines of the file list.
    std::vector<std::wstring> Lines() const { return ListLines(Ctl(IDC_FILELIST)); }
    // Presses Open and chooses path in the file dialog.
    void Open(const std::wstring& path) {
        Click(Ctl(IDC_OPENBUTTON));
        program_->ChooseFile(path);
    }
    // Opens path the given way and waits until the window has taken it in;
    // the command line starts the loader again, as Start last did, with path.
    void OpenBy(Way way, const std::wstring& path) { OpenBy(way, std::vector<std::wstring>{path}); }
    // Several paths are dropped together or given as arguments in this
    // order; the dialog chooses the first.
    void OpenBy(Way way, const std::vector<std::wstring>& paths);
    // Everything posted so far has been handled by the window's thread.
    void Settle() const { Sync(Ctl(IDC_KEYEDIT)); }

    TempFolder temp_;
    std::unique_ptr<Program> program_;
    HWND main_ = nullptr;
    DWORD windowThread_ = 0;
    Launch launch_;  // of the last Start
};

}  // namespace e2e
