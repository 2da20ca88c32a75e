#include "Unit1.h"

#include <windows.h>
#include <commdlg.h>

#include <chrono>

#include "window/CallRecord.h"
#include "download/DownloadLogFile.h"
#include "window/MainLayout.h"
#include "window/ShutdownGuard.h"
#include "Version.h"
#include "window/WindowDownload.h"
#include "resource.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"
#include "widgets/Application.h"

using namespace widgets;

namespace {

// The window's downloads, one at a time; it keeps the bar's percentage from
// one to the next.
TDownloadSession& WindowSession() {
    static TDownloadSession session;
    return session;
}

}  // namespace

std::atomic<bool>& DownloadBusy = WindowSession().Busy();
HANDLE WorkerHandle = nullptr;

namespace {

// The log of --log, full path; set before the window is shown and never
// again, so the workers read it without a lock.
std::optional<std::string> WindowLogFile;

// The library bound at start, for the life of the process.
TDevice* WindowDevice = nullptr;

// The records' tool column, with the library's mark.
std::string LoaderTool;

// The worker's device: each call marked for the shutdown guard, and the
// records of a crash or of the session's end during the calls made ready
// before the first, once the transfer has taken the image it sends.
class TWorkerDevice final : public TDevice {
public:
    explicit TWorkerDevice(TDevice& device) : guarded_(device) {}

    void Confirmed(const TImageInfo& sent, std::chrono::steady_clock::time_point yes) {
        sent_ = &sent;
        yes_ = yes;
    }
    // The SHA-256 of image when it was worked out for the calls' records.
    std::string Sha256Of(const TImageInfo& image) const {
        return sent_ == &image && !sha256_.empty() ? sha256_ : ImageSha256(image);
    }

    uint32_t ResetToISP(uint32_t arg1, uint32_t arg2) override {
        if (WindowLogFile && sent_ != nullptr) {
            try {
                sha256_ = ImageSha256(*sent_);
                PrepareCallRecord(*WindowLogFile, *sent_, sha256_, yes_, LoaderTool);
            } catch (...) {
                // Without memory now: the download goes on, its own record still due.
            }
        }
        return guarded_.ResetToISP(arg1, arg2);
    }
    uint32_t Download(const uint8_t* data, uint32_t zero, uint32_t count, uint32_t sum) override {
        return guarded_.Download(data, zero, count, sum);
    }
    uint32_t ResetToAP() override { return guarded_.ResetToAP(); }
    uint32_t ProcessCount() override { return guarded_.ProcessCount(); }

private:
    TGuardedDevice guarded_;
    const TImageInfo* sent_ = nullptr;
    std::chrono::steady_clock::time_point yes_;
    std::string sha256_;
};

// The id of WorkerHandle's thread, which outlives the handle: its boxes are
// found by it. Only the window's thread touches it.
DWORD WorkerThreadId = 0;

// The worker's view of the system: its boxes have no owner and belong to the
// worker's thread; the cursor setting is applied by the window's thread.
class TWin32DownloadPlatform final : public TDownloadPlatform {
public:
    explicit TWin32DownloadPlatform(TWorkerDevice& device) : device_(device) {}
    ~TWin32DownloadPlatform() override { ReleaseCallRecord(); }
    int ShowBox(std::string_view text, std::string_view caption, unsigned style) override {
        return TApplication::SystemMessageBox(text, caption, style);
    }
    void SetHourglass(bool on) override {
        TApplication::SetCursorSetting(on ? TCursorSetting::HourGlass : TCursorSetting::Default);
    }
    void Confirmed(const TImageInfo& sent, std::chrono::steady_clock::time_point yes) override {
        device_.Confirmed(sent, yes);
    }
    // Taken and let go on the worker's thread, which owns it meanwhile.
    TDownloadLock TakeDownloadLock() override {
        lock_.emplace();
        TDownloadLock taken = lock_->Lock();
        if (!LockOwned(taken.Take)) lock_.reset();
        return taken;
    }
    void ReleaseDownloadLock() override { lock_.reset(); }
    std::optional<std::string> Record(TDownloadOutcome outcome, const TImageInfo& image,
                                      uint64_t seconds) override {
        // The calls are over: a crash or the session's end can no longer be recorded for them.
        ReleaseCallRecord();
        if (!WindowLogFile || CallRecordWritten()) return std::nullopt;
        const TOutcomeRecord named = OutcomeRecord(outcome);
        const std::string time = UtcTimeText(std::chrono::system_clock::now());
        return AppendToDownloadLog(*WindowLogFile, DownloadRecordText({.UtcTime = time,
                                                                       .FullPath = image.FullPath,
                                                                       .Size = image.Size,
                                                                       .Sum = image.Sum,
                                                                       .Outcome = named.LogName,
                                                                       .ExitCode = named.ExitCode,
                                                                       .Sha256 = device_.Sha256Of(image),
                                                                       .Seconds = seconds,
                                                                       .Tool = LoaderTool,
                                                                       .Unit = {}}),
                                   image.FullPath);
    }

private:
    TWorkerDevice& device_;
    std::optional<TDownloadMutex> lock_;
};

// The bar and the pane follow the readings; the window's messages are
// handled between two readings, so every command works meanwhile.
class TFormProgress final : public TDownloadEvents {
public:
    TFormProgress(TProgressBar& bar, TStatusPane& pane) : bar_(bar), pane_(pane) {}
    void Searching() override {
        pane_.SetImageIndex(kSearchingIcon);
        pane_.SetCaption(kSearchingCaption);
        pane_.SetVisible(true);
    }
    // The pane's visibility stays: only a searching reading shows it.
    void Loading(uint16_t percent) override {
        bar_.SetPosition(percent);
        pane_.SetCaption(kLoadingCaption);
        pane_.SetImageIndex(kLoadingIcon);
        bar_.SetVisible(true);
    }
    bool Wait() override {
        TApplication::ProcessMessages();
        return true;
    }
    void TransferOver() override {
        bar_.SetVisible(false);
        pane_.SetCaption(std::string_view{});
        pane_.SetImageIndex(kNoIcon);
        pane_.SetVisible(false);
    }

private:
    TProgressBar& bar_;
    TStatusPane& pane_;
};

BOOL CALLBACK FindShownWindow(HWND hwnd, LPARAM param) {
    if (!IsWindowVisible(hwnd)) return TRUE;
    *reinterpret_cast<HWND*>(param) = hwnd;
    return FALSE;
}

// The worker's boxes have no owner, so pressing Start brings this window over
// the one that waits for the operator: bring that box back to the front and
// flash it.
void ShowWorkerBox(DWORD threadId) {
    HWND box = nullptr;
    if (threadId) EnumThreadWindows(threadId, FindShownWindow, reinterpret_cast<LPARAM>(&box));
    if (!box) return;
    SetForegroundWindow(box);
    FLASHWINFO flash{sizeof flash, box, FLASHW_ALL, 3, 0};
    FlashWindowEx(&flash);
}

// Closes WorkerHandle when the polling loop is left, however it is left.
struct TWorkerHandleCloser {
    ~TWorkerHandleCloser() {
        CloseHandle(WorkerHandle);
        WorkerHandle = nullptr;
    }
};

}  // namespace

DWORD WINAPI DownloadWorker(LPVOID info) {
    // Everything it calls is noexcept: nothing is thrown across the thread's start.
    TWorkerDevice device(*WindowDevice);
    TWin32DownloadPlatform platform(device);
    return RunDownloadWorker(platform, device, *static_cast<const TImageInfo*>(info), WindowSession());
}

TForm1::TForm1(TDevice& device, bool simulatedLibrary)
    : TForm(L"TForm1", kAppTitle, layout::kClientWidth, layout::kClientHeight, IDI_MAINICON),
      AStart(ActionList1, {.Caption = L"Старт", .ImageIndex = 0, .Enabled = false}),
      AOpen(ActionList1, {.Caption = L"Открыть", .ImageIndex = 1}),
      ALock(ActionList1, {.Caption = L"Lock", .ImageIndex = 4, .Enabled = false, .Visible = false}) {
    WindowDevice = &device;
    LoaderTool = ToolColumn("loader " FWL_VERSION_TEXT, simulatedLibrary);
    ActionList1.Images = &ImageList1;
    AStart.OnExecute = [this](TObject* sender) { AStartExecute(sender); };
    AOpen.OnExecute = [this](TObject* sender) { AOpenExecute(sender); };
    ALock.OnExecute = [this](TObject* sender) { ALockExecute(sender); };
    // Only the first of several dropped files counts.
    OnDropFiles = [this](const std::vector<std::string>& files) { OpenFile(files.front()); };

    ImageList1.LoadStrip(TApplication::Instance(), IDB_IMAGES, IDB_IMAGES_MASK, 16);

    OpenDialog1.Title = L"Select file to update";
    OpenDialog1.SetFilter("LockFiles|*.lock|BinFiles|*.bin|HexFiles|*.hex|AllFiles|*.*");
    OpenDialog1.DefaultExt = L"lock";
    // No OFN_FILEMUSTEXIST: a typed name that does not exist reaches the
    // open, which reports it.
    OpenDialog1.Options = OFN_HIDEREADONLY | OFN_FORCESHOWHIDDEN | OFN_EXPLORER | OFN_ENABLESIZING;

    using layout::PlaceOf;
    StartButton.Create(*this, IDC_STARTBUTTON, PlaceOf(IDC_STARTBUTTON), {.Images = &ImageList1});
    StartButton.SetAction(&AStart);
    ProgressBar.Create(*this, IDC_PROGRESSBAR, PlaceOf(IDC_PROGRESSBAR), {.Visible = false});
    FileList.Create(*this, IDC_FILELIST, PlaceOf(IDC_FILELIST),
                    {.Frame = &Frame1, .ItemHeight = layout::kListItemHeight});
    OpenButton.Create(*this, IDC_OPENBUTTON, PlaceOf(IDC_OPENBUTTON), {.Images = &ImageList1});
    OpenButton.SetAction(&AOpen);
    FileLabel.Create(*this, IDC_FILELABEL, PlaceOf(IDC_FILELABEL),
                     {.Caption = L"Файл        ", .Align = TLabel::TAlign::Center, .Transparent = true});
    KeyEdit.Create(*this, IDC_KEYEDIT, PlaceOf(IDC_KEYEDIT), {.Text = kDefaultKeyText, .Visible = false});
    LockButton.Create(*this, IDC_LOCKBUTTON, PlaceOf(IDC_LOCKBUTTON),
                      {.Images = &ImageList1, .ShowCaption = false});
    LockButton.SetAction(&ALock);
    KeyLabel.Create(*this, IDC_KEYLABEL, PlaceOf(IDC_KEYLABEL),
                    {.Caption = L"Пароль", .AutoSize = true, .Visible = false});
    StatusPane.Create(*this, IDC_STATUSPANE, PlaceOf(IDC_STATUSPANE),
                      {.Images = &ImageList1, .Frame = &Frame1, .Visible = false});

    for (TControlId id : layout::kStacking)
        SetWindowPos(GetDlgItem(Handle(), id), HWND_TOP, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetTabOrder({layout::kTabOrder.begin(), layout::kTabOrder.end()});
    AttachShutdownGuard(Handle());
}

LRESULT TForm1::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (const std::optional<LRESULT> answer = ShutdownGuardMessage(Handle(), msg, wParam)) return *answer;
    return TForm::WndProc(msg, wParam, lParam);
}

TForm1::~TForm1() {
    // A worker may still be switching the instrument back or showing its
    // outcome box (the window was closed during a download, or while that box
    // was up). It reads FImageInfo and must end before the window's data goes.
    // Only messages sent to this thread are handled meanwhile (the worker's
    // box may need them); posted clicks stay unhandled in the hidden window.
    if (!WindowSession().Running()) return;
    ShowWindow(Handle(), SW_HIDE);
    while (!WindowSession().WaitIdleFor(std::chrono::milliseconds(0))) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_SENDMESSAGE);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void TForm1::UseLog(const std::string& fileName) {
    WindowLogFile = rt::ExpandFileName(fileName);
    if (const std::optional<std::string> failure = AppendToDownloadLog(*WindowLogFile, {}))
        TApplication::SystemMessageBox(RecordLostText(*failure), kRecordLostBox.Caption,
                                       kRecordLostBox.Style);
}

void TForm1::AOpenExecute(TObject* /*Sender*/) {
    OpenDialog1.SetFilter("Файлы Lock|*.lock|Файлы Bin|*.bin|Файлы Hex|*.hex|Все файлы|*.*");
    if (!OpenDialog1.Execute(Handle())) return;
    OpenFile(OpenDialog1.FileName());
}

void TForm1::OpenFile(const std::string& fileName) {
    if (!OpenImage(fileName, FImageInfo)) return;
    AStart.SetEnabled(true);
    FileList.Clear();
    for (const std::string& line : SummaryLines(fileName, FImageInfo)) FileList.Add(line);
    FileList.SetItemIndex(0);
}

void TForm1::AStartExecute(TObject* /*Sender*/) {
    // This handler also runs inside its own loop's message handling, and the
    // previous worker may still be in its last steps: one worker at a time.
    const bool started = WindowSession().Start([this] {
        DWORD threadId = 0;
        WorkerHandle = CreateThread(nullptr, 0, DownloadWorker, &FImageInfo, 0, &threadId);
        WorkerThreadId = threadId;
        // Taken before the priority request, which on a null handle would
        // leave its own "invalid handle" code in place of the real cause.
        const DWORD code = GetLastError();
        SetThreadPriority(WorkerHandle, THREAD_PRIORITY_ABOVE_NORMAL);
        if (!WorkerHandle) throw rt::EOSError(code, rt::SysErrorMessage(code));
    });
    if (!started) {
        ShowWorkerBox(WorkerThreadId);
        return;
    }

    TWorkerHandleCloser closer;
    TFormProgress progress(ProgressBar, StatusPane);
    WindowSession().Watch(*WindowDevice, progress);
}

void TForm1::ALockExecute(TObject* /*Sender*/) {
    OpenDialog1.SetFilter("Файлы Hex|*.hex|Файлы Bin|*.bin|Все файлы|*.*");
    const std::optional<ScrambleKey> key = KeyFromText(KeyEdit.GetText());
    if (!key) return;
    if (!OpenDialog1.Execute(Handle())) return;
    const std::string fileName = OpenDialog1.FileName();
    FileList.Clear();
    FileList.Add(LockNameLine(fileName));
    const std::optional<std::string> written = LockImage(fileName, *key);
    if (!written) return;
    TApplication::SystemMessageBox(LockDoneText(*written), "Информация", MB_OK | MB_ICONINFORMATION);
}
