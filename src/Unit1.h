// The main window: its controls, its three commands and their handlers.
#pragma once

#include <windows.h>

#include <atomic>

#include "image/FirmwareImage.h"
#include "device/Device.h"
#include "widgets/Action.h"
#include "widgets/Controls.h"
#include "widgets/Form.h"
#include "widgets/ImageList.h"
#include "widgets/OpenDialog.h"

// Between the Start handler and the download worker: set before the worker is
// created, cleared by the worker when its transfer is over. The window's
// download session's flag.
extern std::atomic<bool>& DownloadBusy;
// The thread of the worker started last; closed when its polling loop ends.
extern HANDLE WorkerHandle;

// The worker's thread routine; info is the window's TImageInfo. Returns 1.
DWORD WINAPI DownloadWorker(LPVOID info);

// The application's title and the window's caption.
inline constexpr wchar_t kAppTitle[] = L"Загрузчик для тестера";

class TForm1 : public widgets::TForm {
public:
    // device: the library every download of the window calls; simulatedLibrary:
    // its version resource says it is the simulated one.
    TForm1(TDevice& device, bool simulatedLibrary);
    ~TForm1() override;

    widgets::TActionList ActionList1;
    widgets::TAction AStart;
    widgets::TImageList ImageList1;
    widgets::TAction AOpen;
    widgets::TOpenDialog OpenDialog1;
    // The frame that FileList and StatusPane share.
    widgets::TFlatFrame Frame1;
    widgets::TToolButton StartButton;
    widgets::TProgressBar ProgressBar;
    widgets::TListBox FileList;
    widgets::TToolButton OpenButton;
    widgets::TLabel FileLabel;
    widgets::TAction ALock;
    widgets::TEdit KeyEdit;
    widgets::TToolButton LockButton;
    widgets::TLabel KeyLabel;
    widgets::TStatusPane StatusPane;

    void AStartExecute(widgets::TObject* Sender);
    void AOpenExecute(widgets::TObject* Sender);
    void ALockExecute(widgets::TObject* Sender);

    // The steps of Open after its dialog, for the image at fileName (UTF-8):
    // the same rules, failures and list lines. Open, a drop and the command
    // line all come here.
    void OpenFile(const std::string& fileName);

    // Every download from now on appends its record to the log at fileName.
    // A log that cannot be written now is told in a box; the window works on
    // and tries again at each download.
    void UseLog(const std::string& fileName);

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    TImageInfo FImageInfo{};
};
