#include "Driver.h"

#include "window/ControlIds.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <functional>
#include <utility>

namespace e2e {

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

std::wstring GetEnv(const wchar_t* name) {
    DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0) return {};
    std::wstring value(n, L'\0');
    n = GetEnvironmentVariableW(name, value.data(), n);
    value.resize(n);
    return value;
}

static std::string Hex(const void* p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%lX", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(p)));
    return buf;
}

// ---------------------------------------------------------------------------
// Windows of the desktop

static BOOL CALLBACK CollectTopWindow(HWND hwnd, LPARAM lp) {
    auto* out = reinterpret_cast<std::vector<TopWindow>*>(lp);
    TopWindow w{};
    w.hwnd = hwnd;
    wchar_t buf[512];
    // Neither call sends a message, so a hung window cannot stall the dump.
    buf[0] = 0;
    GetClassNameW(hwnd, buf, 512);
    w.className = buf;
    buf[0] = 0;
    InternalGetWindowText(hwnd, buf, 512);
    w.text = buf;
    GetWindowThreadProcessId(hwnd, &w.pid);
    w.visible = IsWindowVisible(hwnd) != FALSE;
    w.enabled = IsWindowEnabled(hwnd) != FALSE;
    w.owner = GetWindow(hwnd, GW_OWNER);
    out->push_back(std::move(w));
    return TRUE;
}

std::vector<TopWindow> TopLevelWindows() {
    std::vector<TopWindow> all;
    EnumWindows(CollectTopWindow, reinterpret_cast<LPARAM>(&all));
    return all;
}

std::string DumpTopLevelWindows() {
    std::string out = "top-level windows:\n";
    for (const auto& w : TopLevelWindows()) {
        out += "  " + Hex(w.hwnd) + " class=\"" + Narrow(w.className) + "\" text=\"" + Narrow(w.text) +
               "\" pid=" + std::to_string(w.pid) + " visible=" + (w.visible ? "1" : "0") +
               " enabled=" + (w.enabled ? "1" : "0") + " owner=" + Hex(w.owner) + "\n";
    }
    return out;
}

void WaitUntil(const std::string& what, const std::function<bool()>& cond, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (cond()) return;
        if (GetTickCount64() >= end)
            throw Timeout("timed out after " + std::to_string(ms) + " ms waiting for: " + what + "\n" +
                          DumpTopLevelWindows());
        Sleep(10);  // polling interval, not synchronisation
    }
}

// ---------------------------------------------------------------------------
// Controls

LRESULT Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, DWORD ms) {
    DWORD_PTR result = 0;
    // Not SMTO_ABORTIFHUNG: a busy machine leaves a window without an answer
    // for seconds, which the system calls hung; the answer still comes.
    if (!SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_BLOCK, ms, &result))
        throw Timeout("window " + Hex(hwnd) + " (" + Narrow(ClassName(hwnd)) + ") did not answer message " +
                      Hex(reinterpret_cast<void*>(static_cast<ULONG_PTR>(msg))) + " within " +
                      std::to_string(ms) + " ms (error " + std::to_string(GetLastError()) + ")\n" +
                      DumpTopLevelWindows());
    return static_cast<LRESULT>(result);
}

std::wstring Text(HWND hwnd) {
    auto len = Send(hwnd, WM_GETTEXTLENGTH);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    auto got = Send(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::max<LRESULT>(0, std::min<LRESULT>(got, len))));
    return text;
}

void SetText(HWND hwnd, const std::wstring& text) {
    Send(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

bool Visible(HWND hwnd) {
    return IsWindowVisible(hwnd) != FALSE;
}
bool Enabled(HWND hwnd) {
    return IsWindowEnabled(hwnd) != FALSE;
}

std::wstring ClassName(HWND hwnd) {
    wchar_t buf[256] = {};
    GetClassNameW(hwnd, buf, 256);
    return buf;
}

static GUITHREADINFO ThreadInfo(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info;
}

HWND FocusOf(HWND window) {
    return ThreadInfo(window).hwndFocus;
}
HWND ActiveOf(HWND window) {
    return ThreadInfo(window).hwndActive;
}

RECT RectIn(HWND control, HWND parent) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

SIZE ClientSize(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return {r.right - r.left, r.bottom - r.top};
}

namespace {
// The lines of a list box or of a combo box's list, which answer the same
// three messages under different numbers (LB_ERR and CB_ERR are both -1).
std::vector<std::wstring> ItemLines(HWND box, UINT getCount, UINT getTextLen, UINT getText) {
    std::vector<std::wstring> lines;
    auto count = Send(box, getCount);
    if (count == LB_ERR) throw std::runtime_error("cannot count the lines of " + Hex(box));
    for (LRESULT i = 0; i < count; ++i) {
        auto len = Send(box, getTextLen, i);
        if (len == LB_ERR) throw std::runtime_error("cannot read the length of line " + std::to_string(i));
        std::wstring line(static_cast<size_t>(len) + 1, L'\0');
        auto got = Send(box, getText, i, reinterpret_cast<LPARAM>(line.data()));
        line.resize(got == LB_ERR ? 0 : static_cast<size_t>(got));
        lines.push_back(line);
    }
    return lines;
}
}  // namespace

std::vector<std::wstring> ListLines(HWND listBox) {
    return ItemLines(listBox, LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT);
}

int ListSelection(HWND listBox) {
    return static_cast<int>(Send(listBox, LB_GETCURSEL));
}

std::vector<std::wstring> ComboLines(HWND comboBox) {
    return ItemLines(comboBox, CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT);
}

int ComboSelection(HWND comboBox) {
    return static_cast<int>(Send(comboBox, CB_GETCURSEL));
}

int ProgressPos(HWND progressBar) {
    return static_cast<int>(Send(progressBar, PBM_GETPOS));
}
int ImageIndex(HWND control) {
    return static_cast<int>(Send(control, FWM_GETIMAGEINDEX));
}

void Click(HWND control) {
    RECT r{};
    GetClientRect(control, &r);
    LPARAM at = MAKELPARAM((r.right - r.left) / 2, (r.bottom - r.top) / 2);
    PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(control, WM_LBUTTONUP, 0, at);
}

void Sync(HWND edit) {
    auto len = Send(edit, WM_GETTEXTLENGTH);
    if (len < 2) throw std::runtime_error("Sync needs an edit control holding at least 2 characters");
    DWORD end = HIWORD(static_cast<DWORD>(Send(edit, EM_GETSEL)));
    DWORD want = end % (std::min<LRESULT>(len, 20)) + 1;  // differs from end
    // Posted messages of one thread are handled in order: once the selection
    // shows, everything posted before it has been handled too.
    PostMessageW(edit, EM_SETSEL, 0, want);
    WaitUntil("posted messages of " + Hex(edit) + "'s thread handled",
              [&] { return HIWORD(static_cast<DWORD>(Send(edit, EM_GETSEL))) == want; });
}

// ---------------------------------------------------------------------------
// Dialogs

const char* IconName(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::None:
        return "none";
    case BoxIcon::Error:
        return "error";
    case BoxIcon::Warning:
        return "warning";
    case BoxIcon::Information:
        return "information";
    case BoxIcon::Question:
        return "question";
    case BoxIcon::Unknown:
        break;
    }
    return "unknown";
}

namespace {

struct ChildSearch {
    int id;
    const wchar_t* className;  // nullptr: any
    std::vector<HWND> found;
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<ChildSearch*>(lp);
    if (s->id != 0 && GetDlgCtrlID(hwnd) != s->id) return TRUE;
    if (s->className && _wcsicmp(ClassName(hwnd).c_str(), s->className) != 0) return TRUE;
    s->found.push_back(hwnd);
    return TRUE;
}

// Every descendant of parent with that ID (0: any) and class, in Z order.
std::vector<HWND> Descendants(HWND parent, int id, const wchar_t* className = nullptr) {
    ChildSearch s{id, className, {}};
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

}  // namespace

HWND FindControl(HWND parent, int id) {
    if (HWND direct = GetDlgItem(parent, id)) return direct;
    auto all = Descendants(parent, id);
    return all.empty() ? nullptr : all.front();
}

namespace {

// What `draw` paints on a w x h memory bitmap, 32 bits a pixel (0x00RRGGBB),
// top row first. `draw` gets the bitmap's DC and the screen's.
std::vector<DWORD> DrawnPixels(int w, int h, const std::function<void(HDC mem, HDC screen)>& draw) {
    std::vector<DWORD> pixels(static_cast<size_t>(w) * h);
    if (w <= 0 || h <= 0) return pixels;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    draw(mem, screen);
    GdiFlush();
    std::memcpy(pixels.data(), bits, pixels.size() * 4);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    for (auto& p : pixels) p &= 0xFFFFFF;
    return pixels;
}

// Pixels of a screen rectangle.
std::vector<DWORD> Grab(const RECT& r) {
    return DrawnPixels(r.right - r.left, r.bottom - r.top, [&](HDC mem, HDC screen) {
        BitBlt(mem, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    });
}

// The icon drawn as a static control draws it, on the given background.
std::vector<DWORD> Render(HICON icon, int w, int h, DWORD background) {
    return DrawnPixels(w, h, [&](HDC mem, HDC) {
        // DIB pixels are 0x00RRGGBB, COLORREF is 0x00BBGGRR.
        HBRUSH brush =
            CreateSolidBrush(RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
        RECT all{0, 0, w, h};
        FillRect(mem, &all, brush);
        DeleteObject(brush);
        DrawIconEx(mem, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
    });
}

// What the pixels of `shot` show: the standard icon that most of them match.
BoxIcon ClassifyIcon(const std::vector<DWORD>& shot, int w, int h) {
    const struct {
        LPCWSTR id;
        BoxIcon kind;
    } candidates[] = {{IDI_ERROR, BoxIcon::Error},
                      {IDI_WARNING, BoxIcon::Warning},
                      {IDI_INFORMATION, BoxIcon::Information},
                      {IDI_QUESTION, BoxIcon::Question}};
    BoxIcon best = BoxIcon::Unknown;
    size_t bestSame = 0;
    for (const auto& c : candidates) {
        auto drawn = Render(LoadIconW(nullptr, c.id), w, h, shot[0]);
        size_t same = 0;
        for (size_t i = 0; i < shot.size(); ++i) same += drawn[i] == shot[i];
        if (same > bestSame) {
            bestSame = same;
            best = c.kind;
        }
    }
    // The icons differ in most of their pixels; allow a little for blending.
    return bestSame * 100 >= shot.size() * 95 ? best : BoxIcon::Unknown;
}

BoxIcon TellIcon(HWND iconStatic) {
    if (!iconStatic || !Visible(iconStatic)) return BoxIcon::None;
    RECT r{};
    GetClientRect(iconStatic, &r);
    MapWindowPoints(iconStatic, HWND_DESKTOP, reinterpret_cast<POINT*>(&r), 2);
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return BoxIcon::None;
    // A visible window is not yet a painted one: until the box paints, the
    // screen still shows what lay beneath, steady and many-coloured on a busy
    // machine. So the pixels are read until two equal grabs show a standard
    // icon; what is steady but never one of them is told as Unknown.
    BoxIcon told = BoxIcon::Unknown;
    bool steady = false;
    try {
        WaitUntil("the message box icon to be painted", [&] {
            if (GetUpdateRect(iconStatic, nullptr, FALSE)) return false;  // a paint is still due
            auto first = Grab(r);
            auto second = Grab(r);
            if (first != second) return false;
            if (std::all_of(first.begin(), first.end(), [&](DWORD p) { return p == first[0]; })) return false;
            steady = true;
            told = ClassifyIcon(first, w, h);
            return told != BoxIcon::Unknown;
        });
    } catch (const Timeout&) {
        if (!steady) throw;
    }
    return told;
}

}  // namespace

static BOOL CALLBACK CollectDialog(HWND hwnd, LPARAM lp) {
    auto* all = reinterpret_cast<std::vector<HWND>*>(lp);
    all->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> Dialogs(DWORD pid, int childId) {
    std::vector<HWND> all, dialogs;
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&all));
    for (HWND h : all) {
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        if (owner != pid || !Visible(h) || ClassName(h) != L"#32770") continue;
        if (childId != 0 && !FindControl(h, childId)) continue;
        dialogs.push_back(h);
    }
    return dialogs;
}

MessageBoxInfo ReadMessageBox(HWND box) {
    MessageBoxInfo info;
    info.hwnd = box;
    info.caption = Text(box);
    if (HWND text = GetDlgItem(box, 0xFFFF)) info.text = Text(text);
    std::vector<std::pair<LONG, int>> buttons;
    for (HWND b : Descendants(box, 0, L"Button")) {
        if (!Visible(b)) continue;
        RECT r{};
        GetWindowRect(b, &r);
        buttons.emplace_back(r.left, GetDlgCtrlID(b));
    }
    std::sort(buttons.begin(), buttons.end());
    for (const auto& b : buttons) info.buttons.push_back(b.second);
    info.icon = TellIcon(GetDlgItem(box, 0x440));
    return info;
}

void PressDialogButton(HWND dialog, int id, DWORD ms) {
    HWND button = GetDlgItem(dialog, id);
    if (!button) throw std::runtime_error("dialog " + Hex(dialog) + " has no button " + std::to_string(id));
    // What a click on the button sends its dialog; a posted BM_CLICK needs
    // the dialog to be active on some systems.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    WaitUntil(
        "dialog " + Hex(dialog) + " to close after button " + std::to_string(id),
        [&] { return !IsWindow(dialog) || !Visible(dialog); }, ms);
}

HWND FileTypeBox(HWND dialog) {
    HWND box = FindControl(dialog, 0x470);
    if (!box) throw std::runtime_error("file dialog " + Hex(dialog) + " has no file type box");
    return box;
}

void SetDialogFileName(HWND dialog, const std::wstring& path) {
    constexpr int kFileNameBox = 0x47C;  // cmb13: ComboBoxEx32 > ComboBox > Edit
    auto edits = Descendants(dialog, kFileNameBox, L"Edit");
    HWND target = nullptr;
    if (!edits.empty())
        target = edits.back();
    else if (HWND box = FindControl(dialog, kFileNameBox))
        target = box;
    else if (HWND edt1 = FindControl(dialog, 0x480))  // edt1 of older dialogs
        target = edt1;
    if (!target) throw std::runtime_error("file dialog " + Hex(dialog) + " has no file name box");
    SetText(target, path);
    if (Text(target) != path) throw std::runtime_error("file name box did not take \"" + Narrow(path) + "\"");
}

// ---------------------------------------------------------------------------
// Screenshots

std::wstring Screenshot(const std::wstring& name, HWND window) {
    RECT screen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN), 0, 0};
    screen.right = screen.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.bottom = screen.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    RECT r = screen;
    if (window) {
        GetWindowRect(window, &r);
        InflateRect(&r, 8, 8);
        IntersectRect(&r, &r, &screen);
    }
    auto pixels = Grab(r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    const int stride = (w * 3 + 3) & ~3;

    std::wstring folder = GetEnv(L"FWL_E2E_SHOTS");
    if (folder.empty()) folder = L"e2e-shots";
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring file = name;
    for (auto& c : file)
        if (wcschr(L"\\/:*?\"<>| ", c)) c = L'_';
    std::wstring path = folder + L"\\" + file + L".bmp";

    BITMAPFILEHEADER fh{};
    BITMAPINFOHEADER ih{};
    ih.biSize = sizeof ih;
    ih.biWidth = w;
    ih.biHeight = h;  // bottom-up
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biSizeImage = static_cast<DWORD>(stride) * h;
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + ih.biSizeImage;
    std::string data(ih.biSizeImage, '\0');
    for (int y = 0; y < h; ++y) {
        char* row = data.data() + static_cast<size_t>(h - 1 - y) * stride;
        for (int x = 0; x < w; ++x) {
            DWORD p = pixels[static_cast<size_t>(y) * w + x];
            row[x * 3 + 0] = char(p & 0xFF);
            row[x * 3 + 1] = char((p >> 8) & 0xFF);
            row[x * 3 + 2] = char((p >> 16) & 0xFF);
        }
    }
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + Narrow(path));
    DWORD written = 0;
    WriteFile(f, &fh, sizeof fh, &written, nullptr);
    WriteFile(f, &ih, sizeof ih, &written, nullptr);
    WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(f);
    return path;
}

}  // namespace e2e
