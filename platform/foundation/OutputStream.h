#pragma once
// The platform's output stream, as the multipart encoder uses it: open,
// write (which may take fewer bytes than offered), close. The memory stream
// collects what it takes; it can be given a capacity, past which writes come
// up short as a full device's would.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class NSOutputStream : public NSObject {
  public:
    std::string className() const override { return "NSOutputStream"; }
    virtual void open() = 0;
    virtual void close() = 0;
    // Bytes taken (0 up to length), or -1 on error.
    virtual long write(const std::uint8_t* buffer, std::size_t length) = 0;
};

class NSMemoryOutputStream : public NSOutputStream {
  public:
    explicit NSMemoryOutputStream(std::size_t capacity = std::numeric_limits<std::size_t>::max())
        : capacity_(capacity) {}
    std::string className() const override { return "NSOutputStream"; }
    void open() override;
    void close() override;
    long write(const std::uint8_t* buffer, std::size_t length) override;
    // NSStreamDataWrittenToMemoryStreamKey.
    Data dataWritten() const;
    bool isOpen() const;

  private:
    mutable std::mutex mutex_;
    std::size_t capacity_;
    bool open_ = false;
    Data data_;
};
