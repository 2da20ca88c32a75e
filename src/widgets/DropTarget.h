// An OLE drop target that takes files (CF_HDROP), as Explorer offers them.
// The drop itself only keeps the paths and posts a message to the window: the
// window opens them from its own message handling, behind the same failure
// barrier as every other message, and the program that drags is not held up
// by whatever the opening shows.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

namespace widgets {

class TFileDropTarget final : public IDropTarget {
public:
    // message is posted to window after each drop that brought files.
    TFileDropTarget(HWND window, UINT message) : window_(window), message_(message) {}
    TFileDropTarget(const TFileDropTarget&) = delete;
    TFileDropTarget& operator=(const TFileDropTarget&) = delete;

    // The paths of the last drop (UTF-8), emptied by taking them.
    std::vector<std::string> TakeFiles() noexcept { return std::move(files_); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragOver(DWORD keys, POINTL point, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragLeave() override;
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;

private:
    ~TFileDropTarget() = default;
    DWORD Effect(DWORD allowed) const noexcept;

    LONG refs_ = 1;
    HWND window_;
    UINT message_;
    bool offersFiles_ = false;
    std::vector<std::string> files_;
};

}  // namespace widgets
