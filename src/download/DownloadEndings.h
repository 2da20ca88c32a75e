// Every way a download can end, in one table below both faces: the line
// fwimage tells and its stream, the window's box where the window has one,
// the name the log gives it, the exit code, and what a station loop does
// next. The texts the faces show around a download live here too. Portable.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "download/Download.h"
#include "image/ExitCodes.h"

// Message box styles and answers, as the platform defines them. Own names,
// so that this header can sit beside <windows.h>.
inline constexpr unsigned kBoxOk = 0x00;
inline constexpr unsigned kBoxYesNo = 0x04;
inline constexpr unsigned kBoxIconWarning = 0x30;
inline constexpr unsigned kBoxIconInformation = 0x40;
inline constexpr int kAnswerYes = 6;

// One of the window's message boxes (UTF-8 texts).
struct TBoxText {
    std::string_view Text;
    std::string_view Caption;
    unsigned Style;
};

inline constexpr TBoxText kConfirmDownloadBox{" Загрузить программу ? ", " Подтверждение файла",
                                              kBoxYesNo | kBoxIconWarning};
inline constexpr TBoxText kEnterLoaderFailedBox{"Ошибка перехода в режим загрузки  ", "Предупреждение",
                                                kBoxOk | kBoxIconWarning};
inline constexpr TBoxText kDownloadFailedBox{"Ошибка загрузки ", "Предупреждение", kBoxOk | kBoxIconWarning};
inline constexpr TBoxText kLeaveLoaderFailedBox{"Ошибка выхода из режима загрузки  ", "Предупреждение",
                                                kBoxOk | kBoxIconWarning};
// Another program holds the computer's one-download lock (DownloadMutex.h).
inline constexpr TBoxText kBusyBox{
    "Загрузка не начата: на этом компьютере другая программа уже загружает прибор; в прибор ничего не "
    "отправлено",
    "Предупреждение", kBoxOk | kBoxIconWarning};
inline constexpr TBoxText kDownloadDoneBox{"Загрузка завершена  ", "Поздравление",
                                           kBoxOk | kBoxIconInformation};

// The status pane during a download, and fwimage's progress line.
inline constexpr std::string_view kSearchingCaption = "Поиск устройства ...";
inline constexpr std::string_view kLoadingCaption = "Загрузка ...";

enum class TEnding {
    Done,
    LoaderRefused,    // DFU_Reset_To_ISP gave 0
    TransferFailed,   // DFU_Download gave 0
    ReturnFailed,     // DFU_Reset_To_AP gave 0
    LoadCrashed,      // the library's process died while DFU.dll loaded
    LoaderCrashed,    // ... inside DFU_Reset_To_ISP, or a reading polled for it
    TransferCrashed,  // ... DFU_Download
    ReturnCrashed,    // ... DFU_Reset_To_AP
    Declined,         // not confirmed
    NotAsked,         // no console to ask on and no --yes
    NotOpened,        // the image or the log could not be opened: nothing to record in
    LogRefused,       // --log names no log (an image, a device, another file): nothing written
    Empty,
    NoLibrary,
    NoHost,        // the library's process could not be started
    Interrupted,   // Ctrl+C (or the console closed) before the first library call
    Closed,        // the console closed while the library works
    LoadTimedOut,  // --timeout passed while DFU.dll loads
    TimedOut,      // --timeout passed while the library works
    Abandoned,     // the third Ctrl+C while the library works
    WrongImage,    // not the image --expect-sha256 or --expect-sum names
    NoStation,     // --repeat or --ask-serial without a console to prompt on
    RecordLost,    // the record of any other ending could not be written
    Busy,          // another program was loading an instrument on this computer
    Count
};
inline constexpr size_t kEndingCount = static_cast<size_t>(TEnding::Count);

// Rows name their fields; the defaults are those of most endings.
struct TEndingRow {
    TEnding Ending;
    // Each "{}" stands for one of the case's details, in order: a failure's
    // text, a call's name, a code, a number of seconds.
    std::string_view Line;
    // Standard error, or standard output for the one good ending.
    bool ToError = true;
    // Empty: the ending leaves no record.
    std::string_view LogName;
    int ExitCode;
    // The window's box; none where the window cannot end so.
    const TBoxText* WindowBox = nullptr;
    // A station loop goes on to the next instrument: the ending is that
    // instrument's, not the library's or the operator's.
    bool StationGoesOn = false;
    // The library's process died or was ended: a next unit needs a fresh
    // one, and the instrument may be left in its loader mode.
    bool LibraryLost = false;
    // In a station loop, the line instead of Line where Line would tell
    // what only a single download does; empty: Line.
    std::string_view StationLine = {};
};

const TEndingRow& EndingRow(TEnding ending) noexcept;

// The ending of a transfer that ended.
TEnding EndingOf(TDownloadOutcome outcome) noexcept;

// The window's box for each outcome (none for Declined), and its record's
// name and exit code: the table's.
const TBoxText* OutcomeBox(TDownloadOutcome outcome) noexcept;
struct TOutcomeRecord {
    std::string_view LogName;
    int ExitCode;
};
TOutcomeRecord OutcomeRecord(TDownloadOutcome outcome) noexcept;
