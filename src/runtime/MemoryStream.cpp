#include "runtime/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

// Under AddressSanitizer large blocks come from its allocator like any other,
// so that a write past an image's end is still caught.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FWL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define FWL_ASAN 1
#endif
#if defined(__linux__) && !defined(FWL_ASAN)
#define FWL_MAP_LARGE_BLOCKS 1
#include <sys/mman.h>
#endif

namespace rt {

namespace {
#if defined(FWL_MAP_LARGE_BLOCKS)
// Blocks of a huge page or more are mapped on their own and ask for
// transparent huge pages: filling a 64 MiB image then takes 32 page faults
// instead of 16384, which is about a tenth of a whole conversion.
constexpr uint64_t kHugePage = 2 << 20;

std::shared_ptr<uint8_t[]> MapBytes(size_t count) noexcept {
    void* block = ::mmap(nullptr, count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    ::madvise(block, count, MADV_HUGEPAGE);  // a wish: without it the block still serves
    uint8_t* bytes = static_cast<uint8_t*>(block);
    try {
        // Unmaps the block itself when its own control block fails.
        return std::shared_ptr<uint8_t[]>(bytes, [count](uint8_t* b) { ::munmap(b, count); });
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
#endif
}  // namespace

std::shared_ptr<uint8_t[]> AllocateBytes(int64_t count) noexcept {
    if (count < 0 || static_cast<uint64_t>(count) > std::numeric_limits<size_t>::max() / 2) return nullptr;
#if defined(FWL_MAP_LARGE_BLOCKS)
    if (static_cast<uint64_t>(count) >= kHugePage) return MapBytes(static_cast<size_t>(count));
#endif
    uint8_t* bytes = new (std::nothrow) uint8_t[static_cast<size_t>(count == 0 ? 1 : count)];
    if (bytes == nullptr) return nullptr;
    try {
        return std::shared_ptr<uint8_t[]>(bytes);  // frees bytes when its own block fails
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {
// Growth step as the streams grow: whole blocks of 8 KiB. A size no block
// count can reach is left as it is; allocating it fails.
int64_t RoundCapacity(int64_t size) {
    constexpr int64_t kBlock = 8192;
    if (size > std::numeric_limits<int64_t>::max() - kBlock) return size;
    return (size + kBlock - 1) / kBlock * kBlock;
}
}  // namespace

void TMemoryStream::Reserve(int64_t capacity, bool keepContents) {
    auto fresh = AllocateBytes(capacity);
    if (!fresh) throw EStreamError();
    if (keepContents && size_ > 0) std::memcpy(fresh.get(), data_.get(), static_cast<size_t>(size_));
    data_ = std::move(fresh);
    capacity_ = capacity;
}

uint8_t* TMemoryStream::MutableMemory() {
    // Someone holds the current bytes through Share(): leave them untouched.
    if (data_ && data_.use_count() > 1) Reserve(std::max<int64_t>(capacity_, 1), true);
    return data_.get();
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) noexcept {
    if (count <= 0 || position_ < 0 || position_ >= size_) return 0;
    const int64_t n = std::min(count, size_ - position_);
    std::memcpy(buffer, data_.get() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

void TMemoryStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0 || position_ < 0) return 0;
    if (count > std::numeric_limits<int64_t>::max() - position_) throw EStreamError();
    const int64_t end = position_ + count;
    if (end > capacity_) {
        Reserve(RoundCapacity(std::max(end, capacity_ + capacity_ / 4)), true);
    } else {
        MutableMemory();
    }
    std::memcpy(data_.get() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    if (end > size_) size_ = end;
    return count;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size < 0) throw EStreamError();
    if (size > capacity_) {
        Reserve(RoundCapacity(size), true);
    } else if (size != size_) {
        MutableMemory();
    }
    size_ = size;
    if (position_ > size) position_ = size;
}

void TMemoryStream::Clear() noexcept {
    data_.reset();
    size_ = capacity_ = position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TReadFile file(fileName);
    const TFileStamp stamp = file.Stamp();
    const int64_t size = stamp.size;
    auto fresh = AllocateBytes(size);
    if (!fresh) throw EStreamError();
    int64_t done = 0;
    while (done < size) {
        const int64_t n = file.Read(fresh.get() + done, size - done);
        if (n <= 0) throw EReadError();
        done += n;
    }
    file.CheckUnchanged(stamp);  // a file rewritten while it was read gives no image
    data_ = std::move(fresh);
    size_ = capacity_ = size;
    position_ = 0;
}

void TMemoryStream::LoadFromStream(const TMemoryStream& other) {
    if (&other == this) {
        position_ = 0;
        return;
    }
    auto fresh = AllocateBytes(other.size_);
    if (!fresh) throw EStreamError();
    if (other.size_ > 0) std::memcpy(fresh.get(), other.data_.get(), static_cast<size_t>(other.size_));
    data_ = std::move(fresh);
    size_ = capacity_ = other.size_;
    position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    WriteWholeFile(fileName, data_.get(), size_);
}

void TMemoryStream::Adopt(std::shared_ptr<uint8_t[]> data, int64_t size, int64_t capacity) noexcept {
    data_ = std::move(data);
    size_ = size;
    capacity_ = std::max(size, capacity);
    position_ = 0;
}

}  // namespace rt
