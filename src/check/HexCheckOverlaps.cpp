#include "check/HexCheckOverlaps.h"

#include <array>

#include "image/HexText.h"

namespace {

// One pseudo-random word per byte value (splitmix64), so that a byte's share
// in a hash depends on its value and, through the weight, on its address.
constexpr std::array<uint64_t, 256> MakeByteWords() {
    std::array<uint64_t, 256> words{};
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint64_t& word : words) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        word = z ^ (z >> 31);
    }
    return words;
}
constexpr std::array<uint64_t, 256> kByteWords = MakeByteWords();

// The sum over the bytes of their value's word times their address's weight:
// independent of the order in which bytes are added, so that the rewrites
// and the first writes of a region can be summed as they come.
uint64_t HashBytes(uint64_t address, const uint8_t* bytes, std::size_t count) {
    constexpr uint64_t kStep = 0xD6E8FEB86659FD93ull;
    uint64_t weight = address * kStep + 0x2545F4914F6CDD1Dull;
    // Four sums side by side: the additions do not wait for each other.
    uint64_t sums[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4, weight += 4 * kStep) {
        sums[0] += kByteWords[bytes[i]] * weight;
        sums[1] += kByteWords[bytes[i + 1]] * (weight + kStep);
        sums[2] += kByteWords[bytes[i + 2]] * (weight + 2 * kStep);
        sums[3] += kByteWords[bytes[i + 3]] * (weight + 3 * kStep);
    }
    for (; i < count; ++i, weight += kStep) sums[0] += kByteWords[bytes[i]] * weight;
    return sums[0] + sums[1] + sums[2] + sums[3];
}

}  // namespace

uint64_t TWrittenSpans::FirstLineAt(uint64_t address) const {
    auto it = spans_.upper_bound(address);
    return it == spans_.begin() ? 0 : std::prev(it)->second.Line;
}

uint16_t* TRewriteCounts::Page(uint64_t address) const {
    const uint64_t page = address >> kPageBits;
    if (page != lastPage_) {
        const auto it = pages_.find(page);
        if (it == pages_.end()) return nullptr;
        lastPage_ = page;
        last_ = it->second.get();
    }
    return last_;
}

void TRewriteCounts::Add(uint64_t lo, uint64_t hi, uint64_t times) {
    for (uint64_t a = lo; a < hi; ++a) {
        uint16_t* page = Page(a);
        if (page == nullptr) {
            auto& made = pages_[a >> kPageBits];
            made = std::make_unique<uint16_t[]>(std::size_t{1} << kPageBits);
            lastPage_ = a >> kPageBits;
            page = last_ = made.get();
        }
        uint16_t& count = page[a & ((uint64_t{1} << kPageBits) - 1)];
        const uint64_t sum = count + times;
        if (sum > 0xFFFF) {
            over_[a] += sum - 0xFFFF;
            count = 0xFFFF;
        } else {
            count = static_cast<uint16_t>(sum);
        }
    }
}

uint64_t TRewriteCounts::At(uint64_t address) const {
    const uint16_t* page = Page(address);
    if (page == nullptr) return 0;
    const uint64_t count = page[address & ((uint64_t{1} << kPageBits) - 1)];
    if (count < 0xFFFF) return count;
    const auto it = over_.find(address);
    return it == over_.end() ? count : count + it->second;
}

TOverlaps::TOverlaps() = default;

void TOverlaps::Rewritten(uint64_t lo, uint64_t hi, uint64_t line, const uint8_t* bytes) {
    // A block written again comes as rewrites that continue each other; a
    // record written again and again as rewrites of the same addresses.
    if (pending_.Line != 0 && pending_.Times == 1 && lo == pending_.Hi) {
        pending_.Hi = hi;
    } else if (pending_.Line != 0 && lo == pending_.Lo && hi == pending_.Hi) {
        ++pending_.Times;
    } else {
        Flush();
        pending_ = {lo, hi, line, line, 0, 1};
    }
    pending_.LastLine = line;
    pending_.Later += HashBytes(lo, bytes, static_cast<std::size_t>(hi - lo));
    lastLine_ = line;
}

void TOverlaps::Flush() {
    if (pending_.Line == 0) return;
    rewrites_.Add(pending_.Lo, pending_.Hi, pending_.Times);
    TOverlapRun run{pending_.Lo, pending_.Hi, pending_.Line, pending_.LastLine};
    run.Later = pending_.Later;
    pending_ = {};
    // Mostly the region rewritten last time.
    if (last_ != runs_.end() && last_->first <= run.First && run.End <= last_->second.End) {
        TOverlapRun& old = last_->second;
        old.Line = std::min(old.Line, run.Line);
        old.LastLine = std::max(old.LastLine, run.LastLine);
        old.Later += run.Later;
        return;
    }
    // Regions that touch the new one become one with it.
    auto it = runs_.upper_bound(run.First);
    if (it != runs_.begin() && std::prev(it)->second.End >= run.First) --it;
    while (it != runs_.end() && it->first <= run.End) {
        const TOverlapRun& old = it->second;
        run.First = std::min(run.First, old.First);
        run.End = std::max(run.End, old.End);
        run.Line = std::min(run.Line, old.Line);
        run.LastLine = std::max(run.LastLine, old.LastLine);
        run.Later += old.Later;
        it = runs_.erase(it);
    }
    last_ = runs_.emplace_hint(it, run.First, run);
}

void TOverlaps::EarlierLine(const char* s, std::size_t n, uint64_t line) {
    Flush();
    hexrecord::TRecord record;
    if (line > lastLine_ || !reader_.Read(s, n, line, record) || record.type != hexrecord::kData ||
        record.count == 0)
        return;
    // The parts no record wrote before are this one's first writes.
    uint64_t from = record.start;
    replay_.Add(record.start, record.end, line, [&](uint64_t lo, uint64_t hi) {
        if (from < lo) FirstWritten(from, lo, line, record.data + 2 * (from - record.start));
        from = hi;
    });
    if (from < record.end) FirstWritten(from, record.end, line, record.data + 2 * (from - record.start));
}

void TOverlaps::FirstWritten(uint64_t lo, uint64_t hi, uint64_t line, const char* pairs) {
    uint8_t bytes[255];
    hextext::DecodePairs(pairs, static_cast<std::size_t>(hi - lo), bytes);
    TOverlapRun* run = nullptr;
    for (uint64_t a = lo; a < hi; ++a) {
        const uint64_t times = rewrites_.At(a);
        if (times == 0) {
            run = nullptr;
            continue;
        }
        // Rewritten addresses in a row lie in one region: touching ones are joined.
        if (run == nullptr) {
            run = &std::prev(runs_.upper_bound(a))->second;
            if (run->EarlierFirstLine == 0) run->EarlierFirstLine = line;
            run->EarlierLastLine = line;
        }
        // Each rewrite of a byte is compared with the byte first written there.
        run->Earlier += times * HashBytes(a, bytes + (a - lo), 1);
    }
}

std::vector<TOverlapRun> TOverlaps::Runs() {
    Flush();
    std::vector<TOverlapRun> runs;
    for (const auto& [first, run] : runs_) runs.push_back(run);
    return runs;
}
