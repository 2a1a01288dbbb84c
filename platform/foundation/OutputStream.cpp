#include "platform/foundation/OutputStream.h"

#include <algorithm>

void NSMemoryOutputStream::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
}

void NSMemoryOutputStream::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
}

long NSMemoryOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return -1;
    const std::size_t taken = std::min(length, capacity_ - std::min(capacity_, data_.size()));
    data_.insert(data_.end(), buffer, buffer + taken);
    return static_cast<long>(taken);
}

Data NSMemoryOutputStream::dataWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

bool NSMemoryOutputStream::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}
