#include "report/LogReport.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

std::optional<double> Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return std::nullopt;
    return std::round(1000.0 * static_cast<double>(part) / static_cast<double>(whole)) / 10.0;
}

constexpr size_t kDayLength = 10;  // YYYY-MM-DD

}  // namespace

std::optional<double> TReportCounts::FirstPassYield() const {
    return Percent(FirstPassUnits, Units);
}

std::optional<double> TReportCounts::FinalYield() const {
    return Percent(DoneUnits, Units);
}

void TReportGroup::Add(const TLogRecord& record, int64_t time, uint32_t serial) {
    auto outcome = std::ranges::find(outcomes_, record.Outcome, &std::pair<std::string, uint64_t>::first);
    if (outcome == outcomes_.end())
        outcome = outcomes_.insert(outcomes_.end(), {std::string(record.Outcome), 0});
    ++outcome->second;
    // Nothing reached the instrument: no attempt, and no unit's first one.
    if (SendsNothing(record.Outcome)) return;
    const bool done = record.Outcome == "done";
    ++attempts_;
    done_ += done;
    if (serial == kNoSerial) {
        ++lone_;
        loneDone_ += done;
        return;
    }
    const auto [unit, added] = units_.try_emplace(serial, TUnit{time, done, done});
    if (added) return;
    // The earliest decides; of two at the same second, the one read first.
    if (time < unit->second.FirstTime) unit->second = {time, done, unit->second.AnyDone};
    unit->second.AnyDone = unit->second.AnyDone || done;
}

TReportCounts TReportGroup::Counts() const {
    TReportCounts counts{attempts_, done_, lone_ + units_.size(), loneDone_, loneDone_, outcomes_};
    for (const auto& [serial, unit] : units_) {
        counts.DoneUnits += unit.AnyDone;
        counts.FirstPassUnits += unit.FirstDone;
    }
    std::ranges::sort(counts.Outcomes);
    return counts;
}

TLogReport::TLogReport(std::optional<std::string> since, std::optional<std::string> until)
    : since_(std::move(since)), until_(std::move(until)) {}

void TLogReport::Add(const TLogRecord& record) {
    const std::string_view day = record.Time.substr(0, kDayLength);
    if ((since_ && day < *since_) || (until_ && day > *until_)) return;
    ++records_;
    const int64_t time = TimeNumber(record.Time);
    uint32_t serial = TReportGroup::kNoSerial;
    if (!record.Serial.empty())
        serial = serials_.try_emplace(std::string(record.Serial), static_cast<uint32_t>(serials_.size()))
                     .first->second;
    const std::string_view name = FileNamePart(record.Path);
    const std::string key = record.Sha256.empty() ? "\t" + std::string(name) : std::string(record.Sha256);
    auto [image, added] = images_.try_emplace(key, TImage{{}, time, time, std::string(name)});
    image->second.FirstTime = std::min(image->second.FirstTime, time);
    if (time > image->second.NameTime) {
        image->second.NameTime = time;
        image->second.Name = name;
    }
    image->second.Group.Add(record, time, serial);
    for (auto [groups, by] : {std::pair{&stations_, record.Station}, std::pair{&days_, day}}) {
        auto group = groups->find(by);
        if (group == groups->end()) group = groups->emplace(std::string(by), TReportGroup{}).first;
        group->second.Add(record, time, serial);
    }
    total_.Add(record, time, serial);
}

std::vector<TImageRow> TLogReport::Images() const {
    std::vector<std::pair<const std::string*, const TImage*>> order;
    for (const auto& [key, image] : images_) order.emplace_back(&key, &image);
    std::ranges::sort(order, [](const auto& a, const auto& b) {
        return std::tie(a.second->FirstTime, *a.first) < std::tie(b.second->FirstTime, *b.first);
    });
    std::vector<TImageRow> rows;
    for (const auto& [key, image] : order)
        rows.push_back({key->starts_with('\t') ? std::string() : *key, image->Name, image->Group.Counts()});
    return rows;
}

std::vector<std::pair<std::string, TReportCounts>> TLogReport::Stations() const {
    std::vector<std::pair<std::string, TReportCounts>> rows;
    for (const auto& [station, group] : stations_) rows.emplace_back(station, group.Counts());
    return rows;
}

std::vector<std::pair<std::string, TReportCounts>> TLogReport::Days() const {
    std::vector<std::pair<std::string, TReportCounts>> rows;
    for (const auto& [day, group] : days_) rows.emplace_back(day, group.Counts());
    return rows;
}

bool IsReportDay(std::string_view text) {
    if (text.size() != kDayLength || text[4] != '-' || text[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9') return false;
    const auto number = [&](size_t at, size_t length) {
        int n = 0;
        for (size_t i = at; i < at + length; ++i) n = n * 10 + (text[i] - '0');
        return n;
    };
    using namespace std::chrono;
    return year_month_day(year(number(0, 4)), month(static_cast<unsigned>(number(5, 2))),
                          day(static_cast<unsigned>(number(8, 2))))
        .ok();
}
