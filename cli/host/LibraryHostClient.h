// fwimage's side of the library's process: the image where the host reads
// it, and one host, watched from outside. Windows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/LibraryHost.h"
#include "host/UniqueHandle.h"

// The image where a host reads it, a section of the page file filled a
// piece at a time, so that fwimage never holds the image twice.
class TImageSection {
public:
    // Raises rt::EOSError.
    explicit TImageSection(const TImageInfo& info);

    HANDLE Handle() const { return handle_.Get(); }
    int64_t Size() const { return size_; }
    uint16_t Sum() const { return sum_; }

private:
    TUniqueHandle handle_;
    int64_t size_;
    uint16_t sum_;
};

// One host process, which fwimage never outlives: a job ends it with
// fwimage, and the destructor ends it anyway. No wait here is unbounded.
class TLibraryHost {
public:
    struct TReader;

    // Starts the host, which loads DFU.dll at once. Raises rt::EOSError.
    explicit TLibraryHost(const TImageSection& image);
    // Lets a host that runs no call end by itself, so that the library
    // cleans up; ends it otherwise, or when it has not ended within about 2 s.
    ~TLibraryHost();
    TLibraryHost(const TLibraryHost&) = delete;
    TLibraryHost& operator=(const TLibraryHost&) = delete;

    // Up to ms for news from the host or for wake (a HANDLE); applies them.
    // A host that has ended has said all it wrote first.
    void Wait(void* wake, unsigned ms);
    // Runs one unit's steps.
    void Go();
    // Terminates the host and waits about 2 s for it, once; false when it
    // has not ended by then (the job ends it once its pending I/O does).
    bool End();
    const THostState& State() const { return state_; }
    THostState& State() { return state_; }
    // The library's own output so far, whole lines in UTF-8 (the last one
    // too once the host has ended).
    std::vector<std::string> TakeLines();

private:
    void Drain();

    bool terminationTakes_;
    bool ended_ = false;
    bool endTried_ = false;
    TUniqueHandle process_;
    TUniqueHandle job_;
    TUniqueHandle commands_;
    TUniqueHandle news_;
    std::shared_ptr<TReader> reports_;
    std::shared_ptr<TReader> output_;
    std::string reportBytes_;
    std::string outputBytes_;
    THostState state_;
};
