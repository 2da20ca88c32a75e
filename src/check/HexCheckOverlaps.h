// fwimage check's bookkeeping of records that write addresses earlier ones
// wrote. Its memory grows with the distinct rewritten regions, not with how
// often they are rewritten: rewrites of touching addresses make one region,
// and bytes are compared through running hashes instead of being kept.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "image/HexRecord.h"

// The addresses written so far as disjoint ascending spans (touching ones
// joined), each with the first line that wrote into it. Records mostly
// continue or rewrite the span they last touched, which costs no lookup.
class TWrittenSpans {
public:
    // Adds [first, end) written by line; calls rewritten(lo, hi) for each part
    // written before, in ascending order.
    template <class Rewritten>
    void Add(uint32_t first, uint64_t end, uint64_t line, Rewritten&& rewritten) {
        if (last_ != spans_.end()) {
            if (last_->first <= first && end <= last_->second.End) {
                rewritten(uint64_t{first}, end);
                return;
            }
            const auto next = std::next(last_);
            if (last_->second.End == first && (next == spans_.end() || next->first > end)) {
                last_->second.End = end;
                return;
            }
        }
        auto it = spans_.upper_bound(first);
        if (it != spans_.begin() && std::prev(it)->second.End >= first) --it;
        uint64_t joinedFirst = first, joinedEnd = end, joinedLine = line;
        while (it != spans_.end() && it->first <= end) {
            const uint64_t a = std::max<uint64_t>(first, it->first), b = std::min(end, it->second.End);
            if (a < b) rewritten(a, b);
            joinedFirst = std::min(joinedFirst, it->first);
            joinedEnd = std::max(joinedEnd, it->second.End);
            joinedLine = std::min(joinedLine, it->second.Line);
            it = spans_.erase(it);
        }
        last_ = spans_.emplace_hint(it, joinedFirst, TSpan{joinedEnd, joinedLine});
    }

    // The first line that wrote into the span that holds address.
    uint64_t FirstLineAt(uint64_t address) const;

private:
    struct TSpan {
        uint64_t End;
        uint64_t Line;
    };
    std::map<uint64_t, TSpan> spans_;
    std::map<uint64_t, TSpan>::iterator last_ = spans_.end();
};

// A region of addresses written again: by which lines, which lines wrote it
// first, and whether every rewrite wrote the byte first written there.
struct TOverlapRun {
    uint64_t First, End;
    uint64_t Line, LastLine;  // the rewriting records
    uint64_t EarlierFirstLine = 0, EarlierLastLine = 0;
    uint64_t Later = 0, Earlier = 0;  // hashes of the rewritten and of the first bytes

    bool Different() const { return Later != Earlier; }
};

// How often each address was rewritten, in pages of 16-bit counts made where
// rewrites fall (counts past 0xFFFF kept aside): a rewrite costs a pass over
// its bytes, not a search.
class TRewriteCounts {
public:
    void Add(uint64_t lo, uint64_t hi, uint64_t times);
    uint64_t At(uint64_t address) const;

private:
    static constexpr unsigned kPageBits = 16;
    uint16_t* Page(uint64_t address) const;
    std::unordered_map<uint64_t, std::unique_ptr<uint16_t[]>> pages_;
    mutable uint64_t lastPage_ = UINT64_MAX;
    mutable uint16_t* last_ = nullptr;
    std::unordered_map<uint64_t, uint64_t> over_;
};

class TOverlaps {
public:
    TOverlaps();

    // First pass: line wrote bytes at [lo, hi), which were written before.
    void Rewritten(uint64_t lo, uint64_t hi, uint64_t line, const uint8_t* bytes);

    bool Any() const { return lastLine_ != 0; }
    // The last line the second pass needs.
    uint64_t LastLine() const { return lastLine_; }

    // Second pass, every line up to LastLine() in order: finds who first wrote
    // each rewritten byte and hashes those bytes.
    void EarlierLine(const char* s, std::size_t n, uint64_t line);

    // After the second pass: the regions in ascending order.
    std::vector<TOverlapRun> Runs();

private:
    // Rewrites that continue each other are gathered before they are counted.
    struct TPending {
        uint64_t Lo = 0, Hi = 0, Line = 0, LastLine = 0, Later = 0;
        uint64_t Times = 1;  // each address of [Lo, Hi) rewritten so often
    };
    void Flush();
    void FirstWritten(uint64_t lo, uint64_t hi, uint64_t line, const char* pairs);

    std::map<uint64_t, TOverlapRun> runs_;  // by first address; disjoint, not touching
    std::map<uint64_t, TOverlapRun>::iterator last_ = runs_.end();
    TRewriteCounts rewrites_;
    TPending pending_;
    uint64_t lastLine_ = 0;
    hexrecord::TReader reader_;
    TWrittenSpans replay_;
};
