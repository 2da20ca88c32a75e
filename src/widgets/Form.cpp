#include "widgets/Form.h"

#include <memory>

#include "widgets/Application.h"
#include "widgets/DropTarget.h"
#include "widgets/Messages.h"
#include "widgets/WidgetsPortable.h"

namespace widgets {

namespace {

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr int kFontPoints = 8;  // 11 pixels high at 96 DPI
static_assert(kDefaultCharset == DEFAULT_CHARSET && kCyrillicCharset == RUSSIAN_CHARSET);

HICON LoadIconSized(int id, int metricX, int metricY) {
    return static_cast<HICON>(LoadImageW(TApplication::Instance(), MAKEINTRESOURCEW(id), IMAGE_ICON,
                                         GetSystemMetrics(metricX), GetSystemMetrics(metricY),
                                         LR_DEFAULTCOLOR | LR_SHARED));
}

}  // namespace

TForm::TForm(const wchar_t* className, std::wstring_view caption, int clientWidth, int clientHeight,
             int iconId) {
    RegisterOwnClass(className, 0, LoadIconSized(iconId, SM_CXICON, SM_CYICON),
                     LoadIconSized(iconId, SM_CXSMICON, SM_CYSMICON),
                     reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)));
    const int width = Scale(clientWidth);
    const int height = Scale(clientHeight);
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, kFormStyle, FALSE, 0);
    CreateHandle(className, 0, kFormStyle, nullptr, 0, RECT{0, 0, r.right - r.left, r.bottom - r.top},
                 caption);
    // The frame the system really drew may differ from its own estimate.
    RECT client{};
    GetClientRect(Handle(), &client);
    if (client.right != width || client.bottom != height) {
        RECT w{};
        GetWindowRect(Handle(), &w);
        SetWindowPos(Handle(), nullptr, 0, 0, (w.right - w.left) + width - client.right,
                     (w.bottom - w.top) + height - client.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // "MS Sans Serif", 8 points: 11 pixels high at 96 DPI.
    formFont_ = CreateFontW(-MulDiv(kFontPoints, TApplication::Dpi(), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                            FALSE, FormFontCharset(GetACP()), OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, FormFontFace(GetACP()));
    SetFont(formFont_);
}

TForm::~TForm() {
    if (dropTarget_) {
        RevokeDragDrop(Handle());
        dropTarget_->Release();
    }
    DestroyHandle();
    if (oleInitialized_) OleUninitialize();
    if (formFont_) DeleteObject(formFont_);
}

// A window that cannot be a drop target still works: drops are a
// convenience, so a failure here only leaves them out.
void TForm::AcceptDrops() noexcept {
    oleInitialized_ = SUCCEEDED(OleInitialize(nullptr));
    if (!oleInitialized_) return;
    try {
        dropTarget_ = new TFileDropTarget(Handle(), FWM_DROPFILES);
    } catch (...) {
        return;
    }
    if (FAILED(RegisterDragDrop(Handle(), dropTarget_))) {
        dropTarget_->Release();
        dropTarget_ = nullptr;
    }
}

int TForm::Scale(int pixels) const {
    return ScaleToDpi(pixels, TApplication::Dpi());
}

TBounds TForm::Scale(const TBounds& bounds) const {
    return ScaleToDpi(bounds, TApplication::Dpi());
}

void TForm::ShowForm() {
    if (!shown_) {
        shown_ = true;
        // Centred on all monitors together, counted from the primary
        // screen's top left corner.
        RECT w{};
        GetWindowRect(Handle(), &w);
        const int left = CentredOrigin(GetSystemMetrics(SM_CXVIRTUALSCREEN), w.right - w.left);
        const int top = CentredOrigin(GetSystemMetrics(SM_CYVIRTUALSCREEN), w.bottom - w.top);
        SetWindowPos(Handle(), nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (OnDropFiles) AcceptDrops();
        if (OnShown) PostMessageW(Handle(), FWM_SHOWN, 0, 0);
    }
    ShowWindow(Handle(), SW_SHOWNORMAL);
    UpdateWindow(Handle());
}

void TForm::SetTabOrder(std::vector<int> controlIds) {
    tabOrder_ = std::move(controlIds);
}

void TForm::SelectNext(HWND from, bool forward) {
    const size_t n = tabOrder_.size();
    auto canFocus = std::make_unique<bool[]>(n);
    int current = -1;
    for (size_t i = 0; i < n; ++i) {
        HWND control = GetDlgItem(Handle(), tabOrder_[i]);
        canFocus[i] =
            control && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) && IsWindowEnabled(control);
        if (control == from) current = static_cast<int>(i);
    }
    const int next = NextTabStop(std::span<const bool>(canFocus.get(), n), current, forward);
    if (next >= 0) SetFocus(GetDlgItem(Handle(), tabOrder_[static_cast<size_t>(next)]));
}

void TForm::RestoreFocus() {
    if (savedFocus_ && IsWindow(savedFocus_) && IsChild(Handle(), savedFocus_) &&
        IsWindowVisible(savedFocus_) && IsWindowEnabled(savedFocus_)) {
        SetFocus(savedFocus_);
        return;
    }
    SelectNext(nullptr, true);
    HWND focus = GetFocus();
    if (focus != Handle() && !IsChild(Handle(), focus)) SetFocus(Handle());
}

LRESULT TForm::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CLOSE:
        // Closing does not hide the window: the program ends once the loop
        // that takes the quit request returns.
        TApplication::Terminate();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(Handle(), focus)) savedFocus_ = focus;
        } else if (!HIWORD(wParam)) {
            RestoreFocus();
        }
        return 0;
    case WM_SETFOCUS:
        RestoreFocus();
        return 0;
    case FWM_SHOWN:
        if (OnShown) OnShown();
        return 0;
    case FWM_DROPFILES: {
        if (!dropTarget_) return 0;
        const std::vector<std::string> files = dropTarget_->TakeFiles();
        if (!files.empty() && OnDropFiles) OnDropFiles(files);
        return 0;
    }
    }
    return TWindow::WndProc(msg, wParam, lParam);
}

}  // namespace widgets
