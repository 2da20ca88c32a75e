#include "Fixture.h"

#include "Drag.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace e2e {

std::wstring BinFolder() {
    std::wstring folder = GetEnv(L"FWL_E2E_BIN");
    if (folder.empty()) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        folder = self;
        folder.resize(folder.find_last_of(L"\\/"));
    }
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

std::wstring BinPath(const std::wstring& name) {
    return BinFolder() + L"\\" + name;
}

std::wstring LoaderPath() {
    return BinPath(L"loader.exe");
}

// ---------------------------------------------------------------------------
// Files

TempFolder::TempFolder() {
    static int counter = 0;
    wchar_t temp[MAX_PATH] = {}, longTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    if (!GetLongPathNameW(temp, longTemp, MAX_PATH)) wcscpy(longTemp, temp);
    root_ = longTemp;
    if (root_.back() != L'\\') root_ += L'\\';
    root_ += L"fwl-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    CreateDirectoryW(root_.c_str(), nullptr);
}

static void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}

TempFolder::~TempFolder() {
    RemoveTree(root_);
}

std::wstring TempFolder::Write(const std::wstring& relative, const std::string& bytes) const {
    std::wstring path = Path(relative);
    for (size_t end = relative.find(L'\\'); end != std::wstring::npos; end = relative.find(L'\\', end + 1))
        CreateDirectoryW(Path(relative.substr(0, end)).c_str(), nullptr);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + Narrow(path));
    DWORD written = 0;
    const BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
    if (!ok || written != bytes.size()) throw std::runtime_error("cannot write " + Narrow(path));
    return path;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    if (start < text.size()) parts.push_back(text.substr(start));
    return parts;
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + Narrow(path));
    std::string bytes(GetFileSize(f, nullptr), '\0');
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(f);
    bytes.resize(got);
    return bytes;
}

// ---------------------------------------------------------------------------
// Starting programs

// The C runtime's rules: backslashes are literal unless they come before a
// quote, so those, and the ones before the closing quote, are doubled.
static std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::wstring CommandLine(const std::wstring& exe, const std::vector<std::wstring>& args) {
    // The program's name is read up to the next quote, without escapes.
    std::wstring cmd = L"\"" + exe + L"\"";
    for (const auto& arg : args) cmd += L" " + Quoted(arg);
    return cmd;
}

static std::wstring EnvName(const std::wstring& entry) {
    // "=C:=C:\x" style entries keep their leading "=" in the name.
    auto eq = entry.find(L'=', 1);
    return entry.substr(0, eq);
}

static bool LessNoCase(const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
}

// This process's environment with env added, as CreateProcessW takes it.
static std::wstring EnvironmentBlock(const Env& env) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : env) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::wstring& e) {
                                         return _wcsicmp(EnvName(e).c_str(), name.c_str()) == 0;
                                     }),
                      entries.end());
        entries.push_back(name + L"=" + value);
    }
    std::sort(entries.begin(), entries.end(), LessNoCase);
    std::wstring block;
    for (const auto& e : entries) block += e + L'\0';
    return block + L'\0';
}

// A file the started program inherits as one of its standard handles.
class InheritedFile {
public:
    explicit InheritedFile(const std::wstring& path) {
        if (path.empty()) return;
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        handle_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              CREATE_ALWAYS, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + Narrow(path));
    }
    ~InheritedFile() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    InheritedFile(const InheritedFile&) = delete;
    InheritedFile& operator=(const InheritedFile&) = delete;

    HANDLE Or(HANDLE other) const { return handle_ != INVALID_HANDLE_VALUE ? handle_ : other; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::pair<std::wstring, std::wstring> Program::Assignment(const std::wstring& nameEqualsValue) {
    auto eq = nameEqualsValue.find(L'=');
    if (eq == std::wstring::npos || eq == 0)
        throw std::runtime_error("not NAME=value: " + Narrow(nameEqualsValue));
    return {nameEqualsValue.substr(0, eq), nameEqualsValue.substr(eq + 1)};
}

Program::Program(const std::wstring& exe, const Launch& launch) {
    std::wstring block = EnvironmentBlock(launch.env);
    std::wstring dir = launch.workDir;
    if (dir.empty()) dir = exe.substr(0, exe.find_last_of(L"\\/"));
    std::wstring cmd = CommandLine(exe, launch.args);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    const InheritedFile out(launch.outFile), err(launch.errFile);
    const bool redirect = !launch.outFile.empty() || !launch.errFile.empty();
    if (redirect) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out.Or(GetStdHandle(STD_OUTPUT_HANDLE));
        si.hStdError = err.Or(GetStdHandle(STD_ERROR_HANDLE));
    }
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, redirect, CREATE_UNICODE_ENVIRONMENT,
                        block.data(), dir.c_str(), &si, &pi))
        throw std::runtime_error("cannot start " + Narrow(exe) + ": error " + std::to_string(GetLastError()));
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
}

Program::~Program() {
    Kill();
    if (process_) CloseHandle(process_);
}

bool Program::Running() const {
    return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

HWND Program::WaitForWindow(const std::wstring& caption, DWORD ms) {
    HWND found = nullptr;
    WaitUntil(
        "window \"" + Narrow(caption) + "\" of pid " + std::to_string(pid_),
        [&] {
            for (const auto& w : TopLevelWindows())
                if (w.pid == pid_ && w.visible && w.text == caption) {
                    found = w.hwnd;
                    return true;
                }
            if (!Running()) throw std::runtime_error("the program ended before its window appeared");
            return false;
        },
        ms);
    main_ = found;
    return found;
}

HWND Program::Control(int id) const {
    if (!main_) throw std::runtime_error("no main window yet");
    HWND h = FindControl(main_, id);
    if (!h) throw std::runtime_error("the main window has no control " + std::to_string(id));
    return h;
}

HWND Program::WaitForDialog(int childId, const std::string& what, DWORD ms) {
    HWND dialog = nullptr;
    WaitUntil(
        what + " of pid " + std::to_string(pid_),
        [&] {
            auto dialogs = Dialogs(pid_, childId);
            if (dialogs.empty()) return false;
            dialog = dialogs.front();
            return true;
        },
        ms);
    return dialog;
}

// A message box is told by its text static, the file dialog by its name box.
HWND Program::WaitForMessageBox(DWORD ms) {
    return WaitForDialog(0xFFFF, "a message box", ms);
}
HWND Program::WaitForFileDialog(DWORD ms) {
    return WaitForDialog(0x47C, "a file dialog", ms);
}

bool Program::NoDialogs() const {
    return Dialogs(pid_).empty();
}

void Program::ChooseFile(const std::wstring& path, DWORD ms) {
    HWND dialog = WaitForFileDialog(ms);
    SetDialogFileName(dialog, path);
    PressDialogButton(dialog, IDOK, ms);
}

void Program::CancelFileDialog(DWORD ms) {
    PressDialogButton(WaitForFileDialog(ms), IDCANCEL, ms);
}

void Program::PostClose() {
    PostMessageW(main_, WM_CLOSE, 0, 0);
}
void Program::PostSysClose() {
    PostMessageW(main_, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool Program::WaitForExit(DWORD ms, DWORD* exitCode) {
    if (WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    if (exitCode) *exitCode = code;
    return true;
}

DWORD Program::ExitCode(DWORD ms) {
    DWORD code = 0;
    if (!WaitForExit(ms, &code))
        throw Timeout("pid " + std::to_string(pid_) + " still running after " + std::to_string(ms) + " ms\n" +
                      DumpTopLevelWindows());
    return code;
}

void Program::Kill() {
    if (process_ && Running()) {
        TerminateProcess(process_, 0xDEAD);
        WaitForSingleObject(process_, 5000);
    }
}

// ---------------------------------------------------------------------------
// The loader's window

const char* WayName(Way way) {
    switch (way) {
    case Way::Dialog:
        return "Dialog";
    case Way::Drop:
        return "Drop";
    case Way::CommandLine:
        return "CommandLine";
    }
    return "?";
}

void LoaderTest::OpenBy(Way way, const std::vector<std::wstring>& paths) {
    switch (way) {
    case Way::Dialog:
        Open(paths.at(0));
        break;
    case Way::Drop: {
        const DropResult dropped = DropFiles(Ctl(IDC_FILELIST), paths);
        if (dropped.hr != DRAGDROP_S_DROP || dropped.effect != DROPEFFECT_COPY)
            throw std::runtime_error("the window did not take the drop\n" + DumpTopLevelWindows());
        break;
    }
    case Way::CommandLine: {
        Launch launch = launch_;
        launch.args = paths;
        const HWND last = main_;
        program_.reset();
        // Wine may give the next process the same id while the last one's
        // window is still listed: it must not be taken for the new one's.
        WaitUntil("the last loader's window gone", [&] { return !IsWindow(last); });
        Start(launch);
        break;
    }
    }
    Settle();
}

}  // namespace e2e
