#include "download/DownloadEndings.h"

namespace {

constexpr std::string_view kCrashLine =
    "Библиотека DFU.dll аварийно завершилась в {} ({}); прибор может остаться в режиме загрузки";

// In the order of TEnding; the check below the table keeps it so.
constexpr std::array<TEndingRow, kEndingCount> kEndings = {{
    {.Ending = TEnding::Done,
     .Line = kDownloadDoneBox.Text,
     .ToError = false,
     .LogName = "done",
     .ExitCode = kExitDone,
     .WindowBox = &kDownloadDoneBox,
     .StationGoesOn = true},
    {.Ending = TEnding::LoaderRefused,
     .Line = kEnterLoaderFailedBox.Text,
     .LogName = "loader-refused",
     .ExitCode = kExitLoaderRefused,
     .WindowBox = &kEnterLoaderFailedBox,
     .StationGoesOn = true},
    {.Ending = TEnding::TransferFailed,
     .Line = kDownloadFailedBox.Text,
     .LogName = "transfer-failed",
     .ExitCode = kExitTransferFailed,
     .WindowBox = &kDownloadFailedBox,
     .StationGoesOn = true},
    {.Ending = TEnding::ReturnFailed,
     .Line = kLeaveLoaderFailedBox.Text,
     .LogName = "return-failed",
     .ExitCode = kExitReturnFailed,
     .WindowBox = &kLeaveLoaderFailedBox,
     .StationGoesOn = true},
    {.Ending = TEnding::LoadCrashed,
     .Line = "Библиотека DFU.dll аварийно завершилась во время подключения (код {}); в прибор ничего не "
             "отправлено",
     .LogName = "load-crashed",
     .ExitCode = kExitFailed},
    {.Ending = TEnding::LoaderCrashed,
     .Line = kCrashLine,
     .LogName = "loader-crashed",
     .ExitCode = kExitLoaderRefused,
     .StationGoesOn = true,
     .LibraryLost = true},
    {.Ending = TEnding::TransferCrashed,
     .Line = kCrashLine,
     .LogName = "transfer-crashed",
     .ExitCode = kExitTransferFailed,
     .StationGoesOn = true,
     .LibraryLost = true},
    {.Ending = TEnding::ReturnCrashed,
     .Line = kCrashLine,
     .LogName = "return-crashed",
     .ExitCode = kExitReturnFailed,
     .StationGoesOn = true,
     .LibraryLost = true},
    {.Ending = TEnding::Declined,
     .Line = "Загрузка не подтверждена: в прибор ничего не отправлено",
     .LogName = "declined",
     .ExitCode = kExitUsage},
    {.Ending = TEnding::NotAsked,
     .Line = "Загрузка не начата: подтверждение спросить негде (стандартный ввод — не консоль); чтобы "
             "загружать без вопроса, добавьте --yes",
     .LogName = "not-asked",
     .ExitCode = kExitUsage},
    {.Ending = TEnding::NotOpened, .Line = "{}", .LogName = "", .ExitCode = kExitFailed},
    {.Ending = TEnding::LogRefused, .Line = "{}", .LogName = "", .ExitCode = kExitUsage},
    {.Ending = TEnding::Empty,
     .Line = "Загрузка не начата: прошивка пуста",
     .LogName = "empty",
     .ExitCode = kExitFailed},
    {.Ending = TEnding::NoLibrary, .Line = "{}", .LogName = "no-library", .ExitCode = kExitFailed},
    {.Ending = TEnding::NoHost,
     .Line = "Не удалось запустить процесс для библиотеки DFU.dll: {}",
     .LogName = "failed",
     .ExitCode = kExitFailed},
    {.Ending = TEnding::Interrupted,
     .Line = "Прервано: в прибор ничего не отправлено",
     .LogName = "interrupted",
     .ExitCode = kExitInterrupted},
    {.Ending = TEnding::Closed,
     .Line = "Консоль закрыта во время работы библиотеки DFU.dll; состояние прибора неизвестно",
     .LogName = "closed",
     .ExitCode = kExitInterrupted,
     .LibraryLost = true},
    {.Ending = TEnding::LoadTimedOut,
     .Line = "Время ожидания истекло: библиотека DFU.dll не загрузилась за {} с; в прибор ничего не "
             "отправлено",
     .LogName = "timed-out",
     .ExitCode = kExitLibraryLeft},
    {.Ending = TEnding::TimedOut,
     .Line = "Время ожидания истекло: библиотека DFU.dll не закончила работу за {} с; fwimage завершается, "
             "не дожидаясь её, и прибор может остаться в режиме загрузки",
     .LogName = "timed-out",
     .ExitCode = kExitLibraryLeft,
     .StationGoesOn = true,
     .LibraryLost = true,
     .StationLine =
         "Время ожидания истекло: библиотека DFU.dll не закончила работу за {} с; fwimage больше не "
         "ждёт её и переходит к следующему прибору, а этот может остаться в режиме загрузки"},
    {.Ending = TEnding::Abandoned,
     .Line = "Загрузка прекращена: fwimage завершается, не дожидаясь библиотеки DFU.dll; прибор может "
             "остаться в режиме загрузки",
     .LogName = "abandoned",
     .ExitCode = kExitLibraryLeft,
     .LibraryLost = true},
    {.Ending = TEnding::WrongImage,
     .Line = "Не та прошивка: {}; в прибор ничего не отправлено",
     .LogName = "wrong-image",
     .ExitCode = kExitWrongImage},
    {.Ending = TEnding::NoStation,
     .Line = "Загрузка не начата: для {} нужна консоль, чтобы ждать следующий прибор (стандартный ввод — не "
             "консоль)",
     .LogName = "",
     .ExitCode = kExitUsage},
    {.Ending = TEnding::RecordLost,
     .Line = "{} Запись об этой загрузке в журнал потеряна.",
     .LogName = "",
     .ExitCode = kExitRecordLost},
    {.Ending = TEnding::Busy,
     .Line = kBusyBox.Text,
     .LogName = "busy",
     .ExitCode = kExitBusy,
     .WindowBox = &kBusyBox},
}};

// A row left out shifts the later ones, and the array's last places are
// filled with rows of Done.
constexpr bool InOrder() {
    for (size_t i = 0; i < kEndings.size(); ++i)
        if (kEndings[i].Ending != static_cast<TEnding>(i)) return false;
    return true;
}
static_assert(InOrder(), "every ending has its row, in the order of TEnding");

}  // namespace

const TEndingRow& EndingRow(TEnding ending) noexcept {
    const size_t at = static_cast<size_t>(ending);
    return kEndings[at < kEndings.size() ? at : static_cast<size_t>(TEnding::RecordLost)];
}

TEnding EndingOf(TDownloadOutcome outcome) noexcept {
    switch (outcome) {
    case TDownloadOutcome::Declined:
        return TEnding::Declined;
    case TDownloadOutcome::LoaderRefused:
        return TEnding::LoaderRefused;
    case TDownloadOutcome::TransferFailed:
        return TEnding::TransferFailed;
    case TDownloadOutcome::ReturnFailed:
        return TEnding::ReturnFailed;
    case TDownloadOutcome::Busy:
        return TEnding::Busy;
    case TDownloadOutcome::Done:
        break;
    }
    return TEnding::Done;
}

const TBoxText* OutcomeBox(TDownloadOutcome outcome) noexcept {
    return EndingRow(EndingOf(outcome)).WindowBox;
}

TOutcomeRecord OutcomeRecord(TDownloadOutcome outcome) noexcept {
    const TEndingRow& row = EndingRow(EndingOf(outcome));
    return {row.LogName, row.ExitCode};
}
