#include "HexFile2BinMemoryStream.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <string_view>

#include "image/HexParse.h"
#include "image/HexRecord.h"
#include "image/HexText.h"
#include "runtime/Convert.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

namespace {

// ---------------------------------------------------------------------------
// Text handling

using hextext::ForEachLine;

// A file changed in place between the passes is reported as changed, but
// only after its second pass: a record the first pass did not see must not
// land outside the image meanwhile.
[[noreturn]] void OutsideImage(uint64_t lineNumber) {
    throw rt::EConvertError("Record at line " + std::to_string(lineNumber) + " lies outside the image");
}

// Where the text comes from: one open file, or memory. Both passes read the
// same open file, so a file renamed over the name meanwhile is not seen; one
// changed in place is caught by Finish.
class FileText {
public:
    explicit FileText(const std::string& fileName) : file_(fileName), stamp_(file_.Stamp()) {}

    template <class Line>
    void Lines(Line&& line) {
        file_.Rewind();
        ForEachLine([&](char* buffer, int64_t count) { return file_.Read(buffer, count); },
                    hextext::kDefaultBlockSize, line);
    }

    // After the last pass: the passes saw the content the file had when opened.
    void Finish() const { file_.CheckUnchanged(stamp_); }

private:
    rt::TReadFile file_;
    rt::TFileStamp stamp_;
};

struct MemoryText {
    std::string_view text;
    std::size_t blockSize;

    template <class Line>
    void Lines(Line&& line) const {
        std::size_t at = 0;
        ForEachLine(
            [&](char* buffer, int64_t count) {
                const std::size_t n =
                    std::min<std::size_t>(static_cast<std::size_t>(count), text.size() - at);
                std::memcpy(buffer, text.data() + at, n);
                at += n;
                return static_cast<int64_t>(n);
            },
            blockSize, line);
    }

    void Finish() const {}
};

// ---------------------------------------------------------------------------
// Records

// One pass over the records: the first (image == nullptr) finds the extent,
// the second writes the data bytes into the image.
class RecordPass {
public:
    explicit RecordPass(THexRuns* runs = nullptr) : runs_(runs) {}
    RecordPass(uint8_t* image, uint32_t firstAddress, uint64_t length)
        : image_(image), firstAddress_(firstAddress), length_(length) {}

    void Line(const char* s, std::size_t n, uint64_t lineNumber) {
        hexrecord::TRecord record;
        if (!reader_.Read(s, n, lineNumber, record) || record.type != hexrecord::kData) return;
        if (image_ == nullptr)
            Widen(record.start, record.end);
        else
            Store(record.data, record.count, record.start, record.end, lineNumber);
    }

    uint32_t FirstAddress() const { return firstAddress_; }

    // Highest end minus the first address; with no data record that is
    // 0 - 0xFFFFFFFF, which wraps to 1. At most 2^32.
    uint64_t Length() const {
        if (!anyData_) return static_cast<uint32_t>(0u - firstAddress_);
        return highestEnd_ - firstAddress_;
    }

private:
    void Widen(uint32_t start, uint64_t end) {
        if (runs_ != nullptr) runs_->Add(start, end);
        if (end > highestEnd_) highestEnd_ = end;
        if (!anyData_ || start < firstAddress_) firstAddress_ = start;
        anyData_ = true;
    }

    void Store(const char* data, uint32_t count, uint32_t start, uint64_t end, uint64_t lineNumber) {
        if (start < firstAddress_ || end - firstAddress_ > length_) OutsideImage(lineNumber);
        const uint32_t good =
            static_cast<uint32_t>(hextext::DecodePairs(data, count, image_ + (start - firstAddress_)));
        if (good != count) hexrecord::BadField(std::string_view(data + 2 * good, 2), {});
    }

    hexrecord::TReader reader_;
    uint8_t* image_ = nullptr;
    THexRuns* runs_ = nullptr;
    uint32_t firstAddress_ = 0xFFFFFFFF;
    uint64_t length_ = 0;
    uint64_t highestEnd_ = 0;
    bool anyData_ = false;
};

struct Extent {
    uint32_t firstAddress;
    uint64_t length;  // up to 2^32, which THexExtent cannot hold
};

template <class Text>
Extent FirstPass(Text& text, THexRuns* runs = nullptr) {
    RecordPass pass(runs);
    text.Lines([&](const char* s, std::size_t n, uint64_t lineNumber) { pass.Line(s, n, lineNumber); });
    return {pass.FirstAddress(), pass.Length()};
}

// The image is assembled here between the passes and handed over whole to
// the result stream; one conversion runs at a time.
std::shared_ptr<uint8_t[]> ImageBuffer;
int64_t ImageBufferLength = 0;

void EmptyImageBuffer() noexcept {
    ImageBuffer.reset();
    ImageBufferLength = 0;
}

void SizeImageBuffer(uint64_t length) {
    EmptyImageBuffer();  // before allocating, so two images are never held
    if (length > kLargestHexImage) throw rt::EOutOfMemory();
    std::shared_ptr<uint8_t[]> buffer = rt::AllocateBytes(static_cast<int64_t>(length));
    if (!buffer) throw rt::EOutOfMemory();
    if (length > 0) std::memset(buffer.get(), 0xFF, static_cast<std::size_t>(length));
    ImageBuffer = std::move(buffer);
    ImageBufferLength = static_cast<int64_t>(length);
}

// A new empty result stream; no memory for it is the stream's own failure.
std::unique_ptr<rt::TMemoryStream> NewStream() {
    try {
        return std::make_unique<rt::TMemoryStream>();
    } catch (const std::bad_alloc&) {
        throw rt::EStreamError();
    }
}

// Runs a pass over text; when it fails and the text changed meanwhile, the
// change is the better explanation (a file rewritten while it is read seems
// truncated or malformed).
template <class Text, class Pass>
auto Checked(Text& text, Pass&& pass) {
    try {
        return pass();
    } catch (const rt::Exception&) {
        text.Finish();
        throw;
    }
}

template <class Text>
std::unique_ptr<rt::TMemoryStream> Convert(Text&& text, const std::function<void()>& betweenPasses = {},
                                           THexRuns* runs = nullptr) {
    try {
        const Extent extent = Checked(text, [&] { return FirstPass(text, runs); });
        if (betweenPasses) betweenPasses();
        SizeImageBuffer(extent.length);

        RecordPass pass(ImageBuffer.get(), extent.firstAddress, extent.length);
        Checked(text, [&] {
            text.Lines(
                [&](const char* s, std::size_t n, uint64_t lineNumber) { pass.Line(s, n, lineNumber); });
        });
        text.Finish();

        std::unique_ptr<rt::TMemoryStream> result = NewStream();
        // The buffer's storage becomes the stream's: no second copy of the image.
        result->Adopt(std::move(ImageBuffer), ImageBufferLength, ImageBufferLength);
        EmptyImageBuffer();
        result->SetPosition(0);
        return result;
    } catch (const std::bad_alloc&) {
        // The read block: too little memory to start reading.
        throw rt::EOutOfMemory();
    }
}

template <class Text>
THexExtent ExtentOf(Text&& text) {
    try {
        const Extent extent = Checked(text, [&] { return FirstPass(text); });
        return {extent.firstAddress, static_cast<uint32_t>(extent.length)};
    } catch (const std::bad_alloc&) {
        throw rt::EOutOfMemory();
    }
}

}  // namespace

THexExtent HexFileExtent(const std::string& fileName) {
    return ExtentOf(FileText(fileName));
}

std::unique_ptr<rt::TMemoryStream> HexFileToStream(const std::string& fileName, THexRuns* runs) {
    return Convert(FileText(fileName), {}, runs);
}

void THexRuns::Append(uint32_t first, uint64_t end) {
    runs_.push_back({first, end});
    // Records out of order would keep a run each: join from time to time,
    // so that what is kept stays near the number of real runs.
    if (runs_.size() >= 1024 && runs_.size() >= 2 * joinedCount_) Join();
}

void THexRuns::Join() {
    std::sort(runs_.begin(), runs_.end(),
              [](const THexRun& a, const THexRun& b) { return a.First < b.First; });
    std::size_t kept = 0;
    for (const THexRun& run : runs_) {
        if (kept > 0 && run.First <= runs_[kept - 1].End)
            runs_[kept - 1].End = std::max(runs_[kept - 1].End, run.End);
        else
            runs_[kept++] = run;
    }
    runs_.resize(kept);
    joinedCount_ = kept;
}

const std::vector<THexRun>& THexRuns::Runs() {
    Join();
    return runs_;
}

void FinalizeHexFile2BinMemoryStream() noexcept {
    EmptyImageBuffer();
}

namespace hexparse {

THexExtent TextExtent(std::string_view text, std::size_t blockSize) {
    return ExtentOf(MemoryText{text, blockSize});
}

std::unique_ptr<rt::TMemoryStream> TextToStream(std::string_view text, std::size_t blockSize) {
    return Convert(MemoryText{text, blockSize});
}

std::unique_ptr<rt::TMemoryStream> FileToStream(const std::string& fileName,
                                                const std::function<void()>& betweenPasses,
                                                const std::function<void()>& beforeFirstPass) {
    FileText text(fileName);
    if (beforeFirstPass) beforeFirstPass();
    return Convert(text, betweenPasses);
}

int64_t ImageBufferLength() noexcept {
    return ::ImageBufferLength;
}

}  // namespace hexparse

// ---------------------------------------------------------------------------
// Scrambler

uint8_t RotateLeft1(uint8_t value) {
    return static_cast<uint8_t>((value << 1) | (value >> 7));
}

uint8_t RotateRight1(uint8_t value) {
    return static_cast<uint8_t>((value >> 1) | (value << 7));
}

uint8_t ScrambleByte(ScrambleKey key, uint8_t value) {
    // Key bytes 7 down to 0; odd ones rotate left first, even ones right.
    for (int k = 7; k >= 0; --k) {
        value = (k & 1) ? RotateLeft1(value) : RotateRight1(value);
        value ^= key[static_cast<std::size_t>(k)];
    }
    return value;
}

std::unique_ptr<rt::TMemoryStream> ScrambleStream(rt::TMemoryStream& source, ScrambleKey key) {
    source.SetPosition(0);
    std::unique_ptr<rt::TMemoryStream> result = NewStream();
    // The whole size: an image of 4 GiB or more must not lose its top bits.
    const int64_t count = source.Size();
    if (count > 0) {
        // The eight steps amount to one XOR with a byte made from the key
        // (the rotations cancel), so eight bytes are scrambled at once.
        const uint8_t mask = ScrambleByte(key, 0);
        const uint64_t wide = mask * 0x0101010101010101ull;
        result->SetSize(count);
        const uint8_t* in = source.Memory();
        uint8_t* out = result->MutableMemory();
        int64_t i = 0;
        for (; count - i >= 8; i += 8) {
            uint64_t word;
            std::memcpy(&word, in + i, sizeof word);
            word ^= wide;
            std::memcpy(out + i, &word, sizeof word);
        }
        for (; i < count; ++i) out[i] = static_cast<uint8_t>(in[i] ^ mask);
    }
    source.SetPosition(count);
    result->SetPosition(0);
    return result;
}
