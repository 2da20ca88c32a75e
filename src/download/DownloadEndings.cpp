#include "download/DownloadEndings.h"

namespace {

constexpr std::string_view kCrashLine =
    "Библиотека DFU.dll аварийно завершилась в {} ({}); прибор может остаться в режиме загрузки";

// In the order of TEnding; the check below the table keeps it so.
constexpr std::array<TEndingRow, kEndingCount> kEndings = {{
    {TEnding::Done, kDownloadDoneBox.Text, false, "done", kExitDone, &kDownloadDoneBox, true, false},
    {TEnding::LoaderRefused, kEnterLoaderFailedBox.Text, true, "loader-refused", kExitLoaderRefused,
     &kEnterLoaderFailedBox, true, false},
    {TEnding::TransferFailed, kDownloadFailedBox.Text, true, "transfer-failed", kExitTransferFailed,
     &kDownloadFailedBox, true, false},
    {TEnding::ReturnFailed, kLeaveLoaderFailedBox.Text, true, "return-failed", kExitReturnFailed,
     &kLeaveLoaderFailedBox, true, false},
    {TEnding::LoadCrashed,
     "Библиотека DFU.dll аварийно завершилась при загрузке (код {}); в прибор ничего не отправлено", true,
     "load-crashed", kExitFailed, nullptr, false, false},
    {TEnding::LoaderCrashed, kCrashLine, true, "loader-crashed", kExitLoaderRefused, nullptr, true, true},
    {TEnding::TransferCrashed, kCrashLine, true, "transfer-crashed", kExitTransferFailed, nullptr, true,
     true},
    {TEnding::ReturnCrashed, kCrashLine, true, "return-crashed", kExitReturnFailed, nullptr, true, true},
    {TEnding::Declined, "Загрузка не подтверждена: в прибор ничего не отправлено", true, "declined",
     kExitUsage, nullptr, false, false},
    {TEnding::NotAsked,
     "Загрузка не начата: подтверждение спросить негде (стандартный ввод — не консоль); чтобы загружать "
     "без вопроса, добавьте --yes",
     true, "not-asked", kExitUsage, nullptr, false, false},
    {TEnding::NotOpened, "{}", true, "", kExitFailed, nullptr, false, false},
    {TEnding::LogRefused, "{}", true, "", kExitUsage, nullptr, false, false},
    {TEnding::Empty, "Загрузка не начата: прошивка пуста", true, "empty", kExitFailed, nullptr, false, false},
    {TEnding::NoLibrary, "{}", true, "no-library", kExitFailed, nullptr, false, false},
    {TEnding::NoHost, "Не удалось запустить процесс для библиотеки DFU.dll: {}", true, "failed", kExitFailed,
     nullptr, false, false},
    {TEnding::Interrupted, "Прервано: в прибор ничего не отправлено", true, "interrupted", kExitInterrupted,
     nullptr, false, false},
    {TEnding::Closed, "Консоль закрыта во время работы библиотеки DFU.dll; состояние прибора неизвестно",
     true, "closed", kExitInterrupted, nullptr, false, true},
    {TEnding::LoadTimedOut,
     "Время ожидания истекло: библиотека DFU.dll не загрузилась за {} с; в прибор ничего не отправлено", true,
     "timed-out", kExitLibraryLeft, nullptr, false, false},
    {TEnding::TimedOut,
     "Время ожидания истекло: библиотека DFU.dll не закончила работу за {} с; fwimage завершается, не "
     "дожидаясь её, и прибор может остаться в режиме загрузки",
     true, "timed-out", kExitLibraryLeft, nullptr, true, true},
    {TEnding::Abandoned,
     "Загрузка прекращена: fwimage завершается, не дожидаясь библиотеки DFU.dll; прибор может остаться в "
     "режиме загрузки",
     true, "abandoned", kExitLibraryLeft, nullptr, false, true},
    {TEnding::WrongImage, "Не та прошивка: {}; в прибор ничего не отправлено", true, "wrong-image",
     kExitWrongImage, nullptr, false, false},
    {TEnding::NoStation,
     "Повтор невозможен: для --repeat нужна консоль, чтобы ждать следующий прибор (стандартный ввод — не "
     "консоль)",
     true, "", kExitUsage, nullptr, false, false},
    {TEnding::RecordLost, "{} Запись об этой загрузке в журнал потеряна.", true, "", kExitRecordLost, nullptr,
     false, false},
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
