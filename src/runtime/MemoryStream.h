// A growable in-memory block of bytes with a size and a read/write position.
//
// The bytes live in shared storage. Share() hands out a reference that keeps
// the current bytes alive and unchanged: while any such reference exists, an
// operation that would change or free them works on a fresh copy instead.
// Loading a file or another stream always fills fresh storage and takes it
// only when the load has succeeded, so a failed load leaves the stream as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace rt {

class TMemoryStream {
public:
    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    int64_t Size() const noexcept { return size_; }
    int64_t Position() const noexcept { return position_; }
    void SetPosition(int64_t position) noexcept { position_ = position; }

    // First byte of the storage; null when the stream has never held storage.
    const uint8_t* Memory() const noexcept { return data_.get(); }
    // Writable bytes; copies shared storage first.
    uint8_t* MutableMemory();

    // Reads up to count bytes at the position; returns how many were read.
    int64_t Read(void* buffer, int64_t count) noexcept;
    // Reads exactly count bytes or raises EReadError.
    void ReadBuffer(void* buffer, int64_t count);
    // Writes count bytes at the position, growing the stream as needed;
    // raises EStreamError when it cannot grow.
    int64_t Write(const void* buffer, int64_t count);
    void WriteByte(uint8_t value) { Write(&value, 1); }

    // New size; added bytes are unspecified. Raises EStreamError when memory
    // cannot be had. The position is kept unless it lies past the new end.
    void SetSize(int64_t size);
    // Size and position 0, storage released.
    void Clear() noexcept;

    // Replaces the contents with the whole file (shared reading); position 0.
    // Raises EFOpenError, EReadError, EStreamError, EFileChanged (the file was
    // rewritten while it was read); on failure nothing changes.
    void LoadFromFile(const std::string& fileName);
    // Replaces the contents with the whole of other; position 0.
    void LoadFromStream(const TMemoryStream& other);
    // Writes the whole stream to a new (or truncated) file; raises EFCreateError.
    void SaveToFile(const std::string& fileName) const;

    // Takes over a block of size bytes (capacity at least size); position 0.
    void Adopt(std::shared_ptr<uint8_t[]> data, int64_t size, int64_t capacity) noexcept;

    // A reference that keeps the current bytes alive and unchanged.
    std::shared_ptr<const uint8_t[]> Share() const noexcept { return data_; }

private:
    void Reserve(int64_t capacity, bool keepContents);

    std::shared_ptr<uint8_t[]> data_;
    int64_t size_ = 0;
    int64_t capacity_ = 0;
    int64_t position_ = 0;
};

// Allocates count bytes without initialising them; null when they cannot be
// had (count negative or beyond what size_t can hold included).
std::shared_ptr<uint8_t[]> AllocateBytes(int64_t count) noexcept;

}  // namespace rt
