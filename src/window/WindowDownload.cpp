#include "window/WindowDownload.h"

#include <chrono>

#include "download/DownloadRecord.h"
#include "runtime/Display.h"

namespace {

using TClock = std::chrono::steady_clock;

// Records the ending; its failure's box comes after the outcome's, if any.
std::optional<std::string> Record(TDownloadPlatform& platform, TDownloadOutcome outcome,
                                  const TImageInfo& image, TClock::time_point since) noexcept {
    const uint64_t seconds = outcome == TDownloadOutcome::Declined ? 0 : WholeSeconds(TClock::now() - since);
    try {
        return platform.Record(outcome, image, seconds);
    } catch (...) {
        // Not written: the box says so, with the reason when there is memory for it.
        return OrOnThrow(
            [] {
                return std::optional(rt::FailureDisplayText(rt::FailureMessage(std::current_exception())));
            },
            std::optional<std::string>(std::in_place));
    }
}

void ShowLostRecord(TDownloadPlatform& platform, const std::optional<std::string>& failure) noexcept {
    if (!failure) return;
    const TBoxText& box = kRecordLostBox;
    OrOnThrow([&] { return platform.ShowBox(RecordLostText(*failure), box.Caption, box.Style); }, 0);
}

// The worker's conversation up to its outcome, which it has shown.
TDownloadOutcome Converse(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                          TDownloadSession& session) noexcept {
    const TBoxText& ask = kConfirmDownloadBox;
    const int answer = OrOnThrow([&] { return platform.ShowBox(ask.Text, ask.Caption, ask.Style); }, 0);
    if (answer != kAnswerYes) {
        const TImageInfo asItStood = OrOnThrow([&] { return SnapshotImageInfo(windowInfo); }, TImageInfo{});
        ShowLostRecord(platform, Record(platform, TDownloadOutcome::Declined, asItStood, {}));
        return TDownloadOutcome::Declined;
    }
    const TClock::time_point yes = TClock::now();
    // Without the hourglass something is wrong with the system: the
    // instrument is left alone.
    const bool hourglass = OrOnThrow(
        [&] {
            platform.SetHourglass(true);
            return true;
        },
        false);
    TImageInfo sent;
    OrOnThrow(
        [&] {
            platform.Confirmed(sent, yes);
            return true;
        },
        false);
    TDownloadLock lock;
    if (hourglass) lock = OrOnThrow([&] { return platform.TakeDownloadLock(); }, TDownloadLock{});
    TDownloadOutcome outcome = TDownloadOutcome::LoaderRefused;
    if (LockOwned(lock.Take)) {
        outcome = session.Transfer(device, windowInfo, &sent);
        OrOnThrow(
            [&] {
                platform.ReleaseDownloadLock();
                return true;
            },
            false);
    } else if (hourglass) {
        outcome = TDownloadOutcome::Busy;
        sent = OrOnThrow([&] { return SnapshotImageInfo(windowInfo); }, TImageInfo{});
    }
    const std::optional<std::string> lost = Record(platform, outcome, sent, yes);
    const TBoxText* box = OutcomeBox(outcome);
    std::string busyText;
    if (outcome == TDownloadOutcome::Busy) busyText = OrOnThrow([&] { return BusyBoxText(lock); }, std::string());
    const std::string_view text = busyText.empty() ? box->Text : std::string_view(busyText);
    OrOnThrow([&] { return platform.ShowBox(text, box->Caption, box->Style); }, 0);
    // Also after a failed attempt to put it on: the default cursor is harmless.
    OrOnThrow(
        [&] {
            platform.SetHourglass(false);
            return true;
        },
        false);
    // The download is over for the operator before the log is told of.
    ShowLostRecord(platform, lost);
    return outcome;
}

}  // namespace

std::string BusyBoxText(const TDownloadLock& lock) {
    std::string text(kBusyBox.Text);
    if (lock.Take == TDownloadLockTake::Failed && !lock.Failure.empty()) text.append("\n").append(lock.Failure);
    return text;
}

std::string RecordLostText(std::string_view failure) {
    return std::string(kRecordLostBox.Text).append("\n").append(failure);
}

TWindowArgs WindowArgs(const std::vector<std::string>& args, const TEnvLookup& env) {
    constexpr std::string_view kLog = "--log", kLogIs = "--log=";
    TWindowArgs found;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == kLog) {
            found.LogFile = ExpandEnvNames(i + 1 < args.size() ? args[++i] : std::string(), env);
        } else if (arg.compare(0, kLogIs.size(), kLogIs) == 0) {
            found.LogFile = ExpandEnvNames(std::string_view(arg).substr(kLogIs.size()), env);
        } else if (arg == "--help" || arg == "-h" || arg == "/?" || arg == "-?") {
            found.Help = true;
        } else if (arg.compare(0, 2, "--") == 0) {
            if (!found.Unknown) found.Unknown = arg;
        } else if (!found.Image) {
            found.Image = arg;
        }
    }
    return found;
}

std::string ExpandEnvNames(std::string_view text, const TEnvLookup& env) {
    std::string expanded;
    size_t at = 0;
    while (at < text.size()) {
        const size_t open = text.find('%', at);
        const size_t close = open == text.npos ? text.npos : text.find('%', open + 1);
        if (close == text.npos) break;
        expanded.append(text, at, open - at);
        const std::optional<std::string> value =
            close > open + 1 ? env(std::string(text.substr(open + 1, close - open - 1))) : std::nullopt;
        if (value) {
            expanded += *value;
            at = close + 1;
        } else {
            // "%%" or an unknown name: the first % as it stands; the second
            // may open a name.
            expanded += '%';
            at = open + 1;
        }
    }
    expanded.append(text.substr(at));
    return expanded;
}

std::string WindowUsageText(const TWindowArgs& args) {
    std::string text;
    if (args.Unknown) text = "Неизвестный параметр: " + *args.Unknown + "\n\n";
    return text +
           "Запуск программы:\n"
           "    loader.exe\n"
           "    loader.exe ОБРАЗ\n"
           "    loader.exe --log ЖУРНАЛ [ОБРАЗ]\n"
           "\n"
           "ОБРАЗ — файл .hex, .bin или .lock, который открывается, как только появится окно.\n"
           "--log ЖУРНАЛ — журнал, в который записывается каждая загрузка (как у fwimage download --log); "
           "%ИМЯ% в пути заменяется значением переменной среды ИМЯ, например "
           "--log \"%USERPROFILE%\\Documents\\Журнал загрузок.tsv\".\n"
           "\n"
           "Команды для работы с файлами образов из командной строки: fwimage.exe --help.";
}

uint32_t RunDownloadWorker(TDownloadPlatform& platform, TDevice& device, const TImageInfo& windowInfo,
                           TDownloadSession& session) noexcept {
    session.Finish(Converse(platform, device, windowInfo, session));
    return 1;
}
