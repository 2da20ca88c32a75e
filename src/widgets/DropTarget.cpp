#include "widgets/DropTarget.h"

#include <shellapi.h>

#include "runtime/Utf16.h"

namespace widgets {

namespace {

FORMATETC FilesFormat() {
    return FORMATETC{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

std::vector<std::string> DroppedFiles(HDROP drop) {
    std::vector<std::string> files;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(static_cast<size_t>(length) + 1, L'\0');
        path.resize(DragQueryFileW(drop, i, path.data(), length + 1));
        files.push_back(rt::Utf16ToUtf8(path));
    }
    return files;
}

}  // namespace

HRESULT TFileDropTarget::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDropTarget)) {
        *object = static_cast<IDropTarget*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG TFileDropTarget::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

ULONG TFileDropTarget::Release() {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
}

// A disabled window (a failure box or the file dialog is up) takes no drop,
// as it takes no click.
DWORD TFileDropTarget::Effect(DWORD allowed) const noexcept {
    const bool take = offersFiles_ && (allowed & DROPEFFECT_COPY) && IsWindowEnabled(window_);
    return take ? DROPEFFECT_COPY : DROPEFFECT_NONE;
}

HRESULT TFileDropTarget::DragEnter(IDataObject* data, DWORD, POINTL, DWORD* effect) {
    FORMATETC format = FilesFormat();
    offersFiles_ = data && data->QueryGetData(&format) == S_OK;
    *effect = Effect(*effect);
    return S_OK;
}

HRESULT TFileDropTarget::DragOver(DWORD, POINTL, DWORD* effect) {
    *effect = Effect(*effect);
    return S_OK;
}

HRESULT TFileDropTarget::DragLeave() {
    offersFiles_ = false;
    return S_OK;
}

HRESULT TFileDropTarget::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) {
    const bool take = Effect(*effect) == DROPEFFECT_COPY;
    *effect = DROPEFFECT_NONE;
    offersFiles_ = false;
    if (!take) return S_OK;
    FORMATETC format = FilesFormat();
    STGMEDIUM medium{};
    if (!data || FAILED(data->GetData(&format, &medium))) return S_OK;
    // Nothing may be thrown back into the system's drag loop: without memory
    // the drop is refused.
    try {
        files_ = DroppedFiles(static_cast<HDROP>(medium.hGlobal));
    } catch (...) {
        files_.clear();
    }
    ReleaseStgMedium(&medium);
    if (files_.empty()) return S_OK;
    PostMessageW(window_, message_, 0, 0);
    *effect = DROPEFFECT_COPY;
    return S_OK;
}

}  // namespace widgets
