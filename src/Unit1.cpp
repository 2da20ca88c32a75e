#include "Unit1.h"

#include <windows.h>
#include <commdlg.h>

#include "ControlIds.h"
#include "resource.h"
#include "widgets/Application.h"
#include "widgets/WidgetsPortable.h"

using namespace widgets;

TForm1::TForm1()
    : TForm(L"TForm1", AppTitle, layout::ClientWidth, layout::ClientHeight, IDI_MAINICON),
      AStart(ActionList1, L"Старт", 0, false, true),
      AOpen(ActionList1, L"Открыть", 1, true, true),
      ALock(ActionList1, L"Lock", 4, false, false) {
    ActionList1.Images = &ImageList1;
    AStart.OnExecute = [this](TObject* sender) { AStartExecute(sender); };
    AOpen.OnExecute = [this](TObject* sender) { AOpenExecute(sender); };
    ALock.OnExecute = [this](TObject* sender) { ALockExecute(sender); };

    ImageList1.LoadStrip(TApplication::Instance(), IDB_IMAGES, IDB_IMAGES_MASK, 16);

    OpenDialog1.Title = L"Select file to update";
    OpenDialog1.SetFilter("LockFiles|*.lock|BinFiles|*.bin|HexFiles|*.hex|AllFiles|*.*");
    OpenDialog1.DefaultExt = L"lock";
    // No OFN_FILEMUSTEXIST: a typed name that does not exist reaches the
    // open, which reports it.
    OpenDialog1.Options = OFN_HIDEREADONLY | OFN_FORCESHOWHIDDEN | OFN_EXPLORER | OFN_ENABLESIZING;

    using layout::PlaceOf;
    StartButton.Create(*this, IDC_STARTBUTTON, PlaceOf(IDC_STARTBUTTON), &ImageList1, true);
    StartButton.SetAction(&AStart);
    ProgressBar.Create(*this, IDC_PROGRESSBAR, PlaceOf(IDC_PROGRESSBAR), false);
    FileList.Create(*this, IDC_FILELIST, PlaceOf(IDC_FILELIST), &Frame1, layout::ListItemHeight, true);
    OpenButton.Create(*this, IDC_OPENBUTTON, PlaceOf(IDC_OPENBUTTON), &ImageList1, true);
    OpenButton.SetAction(&AOpen);
    FileLabel.Create(*this, IDC_FILELABEL, PlaceOf(IDC_FILELABEL), L"Файл        ",
                     TLabel::TAlign::Center, false, true);
    KeyEdit.Create(*this, IDC_KEYEDIT, PlaceOf(IDC_KEYEDIT), DefaultKeyText, false);
    LockButton.Create(*this, IDC_LOCKBUTTON, PlaceOf(IDC_LOCKBUTTON), &ImageList1, false);
    LockButton.SetAction(&ALock);
    KeyLabel.Create(*this, IDC_KEYLABEL, PlaceOf(IDC_KEYLABEL), L"Пароль", TLabel::TAlign::Left,
                    true, false);
    StatusPane.Create(*this, IDC_STATUSPANE, PlaceOf(IDC_STATUSPANE), &ImageList1, &Frame1, false);

    for (TControlId id : layout::Stacking)
        SetWindowPos(GetDlgItem(Handle(), id), HWND_TOP, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetTabOrder({&FileList, &KeyEdit});
}

TForm1::~TForm1() = default;

void TForm1::AOpenExecute(TObject* /*Sender*/) {
    OpenDialog1.SetFilter("Файлы Lock|*.lock|Файлы Bin|*.bin|Файлы Hex|*.hex|Все файлы|*.*");
    if (!OpenDialog1.Execute(Handle())) return;
    const std::string fileName = OpenDialog1.FileName();
    if (!OpenImage(fileName, FImageInfo)) return;
    AStart.SetEnabled(true);
    FileList.Clear();
    for (const std::string& line : SummaryLines(fileName, FImageInfo)) FileList.Add(line);
    FileList.SetItemIndex(0);
}

void TForm1::AStartExecute(TObject* /*Sender*/) {
    // Download: start the worker and follow its progress. Not written yet.
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
