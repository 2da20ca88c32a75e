#include "download/DownloadConclusion.h"

#include "download/DownloadJson.h"
#include "runtime/Convert.h"

namespace {

void Tell(std::ostream& stream, const std::string& line, const TEndingSink& sink) {
    stream << line << '\n';
    sink.Out.flush();
    sink.Err.flush();
}

}  // namespace

std::string ExceptionCodeText(uint32_t code) {
    return rt::IntToHex(code, 8);
}

std::string EndingLine(TEnding ending, std::initializer_list<std::string_view> details, bool station) {
    const TEndingRow& row = EndingRow(ending);
    std::string line(station && !row.StationLine.empty() ? row.StationLine : row.Line);
    size_t from = 0;
    for (std::string_view detail : details) {
        const size_t at = line.find("{}", from);
        if (at == std::string::npos) break;
        line.replace(at, 2, detail);
        from = at + detail.size();
    }
    return line;
}

int ConcludeDownload(TEnding ending, std::initializer_list<std::string_view> details,
                     const TEndingSink& sink, std::string_view tail) noexcept {
    const TEndingRow& row = EndingRow(ending);
    // Only a delivered unit's lost record gives the record's code: a failure
    // keeps its own, so that the record's code always means flashed.
    const int lostCode = row.ExitCode == kExitDone ? EndingRow(TEnding::RecordLost).ExitCode : row.ExitCode;
    try {
        const std::string line = EndingLine(ending, details, sink.Unit > 0) + std::string(tail);
        Tell(row.ToError ? sink.Err : sink.Out, line, sink);
        int code = row.ExitCode;
        if (!row.LogName.empty() && sink.Record) {
            if (const std::optional<std::string> failure = sink.Record(row.LogName, row.ExitCode)) {
                Tell(sink.Err, EndingLine(TEnding::RecordLost, {*failure}), sink);
                code = lostCode;
            }
        }
        if (sink.Json) TellEnded(*sink.Json, row.LogName, line, code, sink.Unit, sink.Trace);
        return code;
    } catch (...) {
        // Out of memory while telling: whether the record was written is unknown.
    }
    return lostCode;
}

void TStationTally::Add(int unitCode) noexcept {
    if (unitCode == kExitDone) {
        ++Done;
    } else {
        ++Failed;
        LastFailedCode = unitCode;
    }
}

std::string StationCountersLine(const TStationTally& tally) {
    return "Приборов загружено: " + std::to_string(tally.Done) +
           ", с ошибкой: " + std::to_string(tally.Failed);
}

std::string UnitNeedsAttentionLine(unsigned unit) {
    return "Прибор " + std::to_string(unit) +
           " требует проверки: он может остаться в режиме загрузки; для следующего прибора библиотека "
           "DFU.dll загружается заново";
}

int ConcludeStation(const TStationTally& tally, const TEndingSink& sink) noexcept {
    const int code = tally.Failed == 0 ? kExitDone : tally.LastFailedCode;
    try {
        // Numbers after their nouns: no plural forms to agree.
        Tell(sink.Out,
             "Итого: приборов " + std::to_string(tally.Done + tally.Failed) + ", загружено " +
                 std::to_string(tally.Done) + ", с ошибкой " + std::to_string(tally.Failed),
             sink);
        if (sink.Json) TellSummary(*sink.Json, tally.Done, tally.Failed, code);
    } catch (...) {
        // Out of memory while telling: the code stands.
    }
    return code;
}
