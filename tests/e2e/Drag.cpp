#include "Drag.h"

#include <ole2.h>
#include <shlobj.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace e2e {

namespace {

// What OLE needs of a COM object here: one interface besides IUnknown.
template <class Interface>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the stack of the drag: the counts only have to be right.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs_); }

private:
    std::atomic<LONG> refs_{1};
};

FORMATETC FilesFormat() {
    return FORMATETC{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

// DROPFILES with wide paths, each NUL-terminated, and a closing NUL.
HGLOBAL MakeHDrop(const std::vector<std::wstring>& paths) {
    size_t chars = 1;
    for (const auto& p : paths) chars += p.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    if (!memory) return nullptr;
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    auto* out = reinterpret_cast<wchar_t*>(header + 1);
    for (const auto& p : paths) {
        std::memcpy(out, p.c_str(), (p.size() + 1) * sizeof(wchar_t));
        out += p.size() + 1;
    }
    *out = L'\0';
    GlobalUnlock(memory);
    return memory;
}

class FilesData : public ComObject<IDataObject> {
public:
    explicit FilesData(const std::vector<std::wstring>& paths) : paths_(paths) {}

    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = MakeHDrop(paths_);
        medium->pUnkForRelease = nullptr;
        return medium->hGlobal ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
        return format && format->cfFormat == CF_HDROP && (format->tymed & TYMED_HGLOBAL) ? S_OK
                                                                                         : DV_E_FORMATETC;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        out->ptd = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override {
        if (direction != DATADIR_GET) return E_NOTIMPL;
        FORMATETC format = FilesFormat();
        return SHCreateStdEnumFmtEtc(1, &format, formats);
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    std::vector<std::wstring> paths_;
};

// Drops as soon as the left button is up; reports each feedback so that the
// mouse is let go only once the target has offered to take the files.
class DropSource : public ComObject<IDropSource> {
public:
    explicit DropSource(HANDLE feedback) : feedback_(feedback) {}

    HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL escape, DWORD keys) override {
        if (escape) return DRAGDROP_S_CANCEL;
        return (keys & MK_LBUTTON) ? S_OK : DRAGDROP_S_DROP;
    }
    HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD effect) override {
        lastEffect = effect;
        SetEvent(feedback_);
        return DRAGDROP_S_USEDEFAULTCURSORS;
    }

    std::atomic<DWORD> lastEffect{DROPEFFECT_NONE};

private:
    HANDLE feedback_;
};

// A point of target, a few pixels inside its edges, where the pointer is over
// target's own top-level window (a box of the program may cover the rest).
POINT UncoveredPoint(HWND target) {
    RECT r{};
    GetWindowRect(target, &r);
    const HWND root = GetAncestor(target, GA_ROOT);
    for (LONG y = r.top + 4; y < r.bottom - 4; y += 4)
        for (LONG x = r.left + 4; x < r.right - 4; x += 4)
            if (GetAncestor(WindowFromPoint(POINT{x, y}), GA_ROOT) == root) return POINT{x, y};
    throw std::runtime_error("no point of the drop target is uncovered");
}

}  // namespace

DropResult DropFiles(HWND target, const std::vector<std::wstring>& paths, DWORD ms) {
    const POINT at = UncoveredPoint(target);
    SetCursorPos(at.x, at.y);
    HANDLE feedback = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DropResult result;
    std::atomic<bool> done{false};
    DropSource source(feedback);

    std::thread dragger([&] {
        OleInitialize(nullptr);
        FilesData data(paths);
        mouse_event(MOUSEEVENTF_LEFTDOWN, 0, 0, 0, 0);
        result.hr = DoDragDrop(&data, &source, DROPEFFECT_COPY, &result.effect);
        done = true;
        SetEvent(feedback);
        OleUninitialize();
    });

    // The drag loop answers every movement with a feedback; move a pixel to
    // and fro over the target until it offers to copy, then let go.
    const DWORD start = GetTickCount();
    int step = 1;
    bool released = false;
    while (!done && GetTickCount() - start < ms) {
        if (source.lastEffect & DROPEFFECT_COPY) {
            mouse_event(MOUSEEVENTF_LEFTUP, 0, 0, 0, 0);
            released = true;
            break;
        }
        SetCursorPos(at.x + step, at.y);
        mouse_event(MOUSEEVENTF_MOVE, 0, 0, 0, 0);
        step = -step;
        WaitForSingleObject(feedback, 100);
    }
    // Out of time or refused: let go all the same, and give up with Escape if
    // even that does not end the drag, so that no test hangs here.
    if (!released) mouse_event(MOUSEEVENTF_LEFTUP, 0, 0, 0, 0);
    const DWORD letGo = GetTickCount();
    while (!done && GetTickCount() - letGo < ms) WaitForSingleObject(feedback, 100);
    if (!done) {
        keybd_event(VK_ESCAPE, 0, 0, 0);
        keybd_event(VK_ESCAPE, 0, KEYEVENTF_KEYUP, 0);
    }
    dragger.join();
    CloseHandle(feedback);
    return result;
}

}  // namespace e2e
