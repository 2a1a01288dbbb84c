#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <system_error>

namespace sim {
namespace {

std::atomic<int> nextWriteFailure{0};
std::atomic<int> nextReadFailure{0};

bool takeFailure(std::atomic<int>& slot, int* error) {
    int err = slot.exchange(0);
    if (err == 0) return false;
    if (error) *error = err;
    return true;
}

bool writeAll(int fd, const Data& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<Data> FileSystem::readFile(const std::filesystem::path& path, int* error) {
    if (takeFailure(nextReadFailure, error)) return std::nullopt;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = errno;
        return std::nullopt;
    }
    Data out;
    std::uint8_t buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (error) *error = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    ::close(fd);
    return out;
}

bool FileSystem::writeFileAtomically(const std::filesystem::path& path, const Data& data,
                                     int* error, unsigned mode) {
    if (takeFailure(nextWriteFailure, error)) return false;
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
        if (error) *error = ec.value();
        return false;
    }
    thread_local std::mt19937_64 rng{std::random_device{}()};
    auto temp = path;
    temp += ".tmp." + std::to_string(rng());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        if (error) *error = errno;
        return false;
    }
    if (!writeAll(fd, data)) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        if (error) *error = err;
        return false;
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        if (error) *error = err;
        return false;
    }
    return true;
}

bool FileSystem::removeFile(const std::filesystem::path& path, int* error) {
    if (takeFailure(nextWriteFailure, error)) return false;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        if (error) *error = errno;
        return false;
    }
    return true;
}

void FileSystem::failNextWrite(int error) {
    nextWriteFailure.store(error);
}
void FileSystem::failNextRead(int error) {
    nextReadFailure.store(error);
}
void FileSystem::clearFailures() {
    nextWriteFailure.store(0);
    nextReadFailure.store(0);
}

}  // namespace sim
