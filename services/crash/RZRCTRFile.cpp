// Crash-time code: the unbuffered writer allocates nothing, takes no lock,
// uses no stdio and logs only to the SDK log.
#include "services/crash/RZRCTRFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "services/crash/RZRCTRSDKLog.h"

namespace {

constexpr int kMaxWriteCalls = 50;
constexpr int kMaxInterruptions = 1000;
constexpr char kHexDigits[] = "0123456789abcdef";

RZRCTRFileWriteFunction gWriteFunction = nullptr;

ssize_t callWrite(int fd, const void* bytes, std::size_t length) {
    RZRCTRFileWriteFunction function = __atomic_load_n(&gWriteFunction, __ATOMIC_ACQUIRE);
    return function ? function(fd, bytes, length) : ::write(fd, bytes, length);
}

void writeBytes(RZRCTRFile* file, const char* bytes, std::size_t length) {
    if (!file || file->fd < 0 || length == 0) return;
    if (!file->bufferWrites || !file->writeBuffer) {
        if (RZRCTRFileWriteWithRetries(file->fd, bytes, length)) {
            file->bytesWritten += static_cast<std::int64_t>(length);
        } else {
            file->lineBroken = true;
        }
        return;
    }
    while (file->writeBufferLength + length >= kRZRCTRFileBufferSize) {
        const std::size_t room = kRZRCTRFileBufferSize - 1 - file->writeBufferLength;
        std::memcpy(file->writeBuffer + file->writeBufferLength, bytes, room);
        file->writeBufferLength += room;
        file->writeBuffer[file->writeBufferLength] = '\0';
        bytes += room;
        length -= room;
        RZRCTRFileFlush(file);
    }
    std::memcpy(file->writeBuffer + file->writeBufferLength, bytes, length);
    file->writeBufferLength += length;
    file->writeBuffer[file->writeBufferLength] = '\0';
}

// Collects small pieces on the stack so that a short key or value with its
// quotes goes out in one write.
class Stager {
  public:
    explicit Stager(RZRCTRFile* file) : file_(file) {}
    ~Stager() { flush(); }
    Stager(const Stager&) = delete;
    Stager& operator=(const Stager&) = delete;

    void put(char c) {
        if (length_ == sizeof(bytes_)) flush();
        bytes_[length_++] = c;
    }
    void put(const char* text, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) put(text[i]);
    }
    void flush() {
        writeBytes(file_, bytes_, length_);
        length_ = 0;
    }

  private:
    RZRCTRFile* file_;
    char bytes_[64];
    std::size_t length_ = 0;
};

// Length of the well-formed UTF-8 sequence at p, or 0 when it is not one.
std::size_t utf8SequenceLength(const unsigned char* p, std::size_t available) {
    const unsigned lead = p[0];
    if (lead < 0x80) return 1;
    std::size_t length;
    std::uint32_t codePoint;
    std::uint32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (available < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF) return 0;
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
    return length;
}

void putEscaped(Stager& out, const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < length) {
        const unsigned char c = bytes[i];
        if (c >= 0x80) {
            const std::size_t sequence = utf8SequenceLength(bytes + i, length - i);
            if (sequence == 0) {
                out.put("\\ufffd", 6);
                ++i;
            } else {
                out.put(text + i, sequence);
                i += sequence;
            }
            continue;
        }
        switch (c) {
            case '"':
                out.put("\\\"", 2);
                break;
            case '\\':
                out.put("\\\\", 2);
                break;
            case '\b':
                out.put("\\b", 2);
                break;
            case '\f':
                out.put("\\f", 2);
                break;
            case '\n':
                out.put("\\n", 2);
                break;
            case '\r':
                out.put("\\r", 2);
                break;
            case '\t':
                out.put("\\t", 2);
                break;
            default:
                if (c < 0x20) {
                    out.put("\\u00", 4);
                    out.put(kHexDigits[c >> 4]);
                    out.put(kHexDigits[c & 0x0f]);
                } else {
                    out.put(static_cast<char>(c));
                }
                break;
        }
        ++i;
    }
}

void writeComma(RZRCTRFile* file, Stager& out) {
    if (file->needComma) out.put(',');
}

void writeQuotedString(RZRCTRFile* file, const char* text, std::size_t length) {
    Stager out(file);
    out.put('"');
    putEscaped(out, text, length);
    out.put('"');
}

void writeHexString(RZRCTRFile* file, const char* text, std::size_t length) {
    Stager out(file);
    out.put('"');
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        out.put(kHexDigits[byte >> 4]);
        out.put(kHexDigits[byte & 0x0f]);
    }
    out.put('"');
}

// Formats into the end of buf; returns the first digit.
char* formatUInt64(std::uint64_t value, bool hex, char* end) {
    char* p = end;
    const unsigned base = hex ? 16 : 10;
    do {
        *--p = kHexDigits[value % base];
        value /= base;
    } while (value != 0);
    return p;
}

void openCollection(RZRCTRFile* file, char opening) {
    if (!file) return;
    Stager out(file);
    writeComma(file, out);
    out.put(opening);
    file->collectionDepth++;
    file->needComma = false;
}

void closeCollection(RZRCTRFile* file, char closing) {
    if (!file) return;
    {
        Stager out(file);
        out.put(closing);
    }
    if (file->collectionDepth > 0) file->collectionDepth--;
    file->needComma = file->collectionDepth > 0;
}

void writeUInt64Value(RZRCTRFile* file, std::uint64_t value) {
    char digits[21];
    char* first = formatUInt64(value, false, digits + sizeof(digits));
    writeBytes(file, first, static_cast<std::size_t>(digits + sizeof(digits) - first));
    file->needComma = true;
}

void writeInt64Value(RZRCTRFile* file, std::int64_t value) {
    char digits[22];
    const std::uint64_t magnitude =
        value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    char* first = formatUInt64(magnitude, false, digits + sizeof(digits));
    if (value < 0) *--first = '-';
    writeBytes(file, first, static_cast<std::size_t>(digits + sizeof(digits) - first));
    file->needComma = true;
}

void writeStringValue(RZRCTRFile* file, const char* value, std::size_t length) {
    if (!value) {
        writeBytes(file, "null", 4);
    } else {
        writeQuotedString(file, value, length);
    }
    file->needComma = true;
}

void writeHexValue(RZRCTRFile* file, const char* value, std::size_t length) {
    if (!value) {
        writeBytes(file, "null", 4);
    } else {
        writeHexString(file, value, length);
    }
    file->needComma = true;
}

std::size_t lengthOf(const char* text) {
    return text ? std::strlen(text) : 0;
}

}  // namespace

void RZRCTRFileSetWriteFunction(RZRCTRFileWriteFunction function) {
    __atomic_store_n(&gWriteFunction, function, __ATOMIC_RELEASE);
}

bool RZRCTRFileWriteWithRetries(int fd, const void* bytes, std::size_t length) {
    if (fd < 0 || (!bytes && length)) return false;
    const char* p = static_cast<const char*>(bytes);
    std::size_t left = length;
    int calls = 0;
    int interruptions = 0;
    while (left > 0) {
        if (calls >= kMaxWriteCalls) return false;
        const ssize_t written = callWrite(fd, p, left);
        if (written < 0 && errno == EINTR && interruptions < kMaxInterruptions) {
            ++interruptions;
            continue;
        }
        ++calls;
        if (written <= 0 || static_cast<std::size_t>(written) > left) return false;
        p += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

void RZRCTRFileWriteUInt64ToFD(int fd, std::uint64_t value, bool hex) {
    char digits[21];
    char* first = formatUInt64(value, hex, digits + sizeof(digits));
    RZRCTRFileWriteWithRetries(fd, first,
                               static_cast<std::size_t>(digits + sizeof(digits) - first));
}

void RZRCTRFileWriteInt64ToFD(int fd, std::int64_t value) {
    if (value < 0) {
        RZRCTRFileWriteWithRetries(fd, "-", 1);
        RZRCTRFileWriteUInt64ToFD(fd, ~static_cast<std::uint64_t>(value) + 1, false);
    } else {
        RZRCTRFileWriteUInt64ToFD(fd, static_cast<std::uint64_t>(value), false);
    }
}

bool RZRCTRFileInitWithPath(RZRCTRFile* file, const char* path, bool bufferWrites) {
    return RZRCTRFileInitWithPathMode(file, path, true, bufferWrites);
}

bool RZRCTRFileInitWithPathMode(RZRCTRFile* file, const char* path, bool appendMode,
                                bool bufferWrites) {
    if (!file) {
        RZRCTRSDKLogWarn("Error: file is null");
        return false;
    }
    if (!path) {
        RZRCTRSDKLogWarn("Error: file descriptor invalid");
        return false;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (appendMode ? O_APPEND : O_TRUNC);
    const int fd = ::open(path, flags, 0644);
    if (fd < 0) {
        RZRCTRSDKLogWarn("Error: Unable to open file (errno %d)", errno);
        RZRCTRSDKLogWarn("Error: file descriptor invalid");
        return false;
    }
    *file = RZRCTRFile{};
    file->fd = fd;
    file->bufferWrites = bufferWrites;
    if (bufferWrites) {
        file->writeBuffer = static_cast<char*>(std::malloc(kRZRCTRFileBufferSize));
        if (!file->writeBuffer) {
            RZRCTRSDKLogError("Unable to malloc in RZRCTRFileInit");
            ::close(fd);
            file->fd = -1;
            return false;
        }
        file->writeBuffer[0] = '\0';
    }
    if (appendMode) {
        struct stat info;
        if (::fstat(fd, &info) == 0 && info.st_size > 0) file->bytesWritten = info.st_size;
    }
    return true;
}

bool RZRCTRFileCloseWithOffset(RZRCTRFile* file, std::int64_t* finalSize) {
    if (!file) return false;
    if (file->bufferWrites && file->writeBuffer) {
        RZRCTRFileFlush(file);
        std::free(file->writeBuffer);
        file->writeBuffer = nullptr;
    }
    if (finalSize) *finalSize = file->bytesWritten;
    if (::close(file->fd) != 0) {
        RZRCTRSDKLogWarn("Error: Unable to close file (errno %d)", errno);
        return false;
    }
    *file = RZRCTRFile{};
    file->fd = -1;
    return true;
}

bool RZRCTRFileClose(RZRCTRFile* file) {
    return RZRCTRFileCloseWithOffset(file, nullptr);
}

bool RZRCTRFileIsOpen(const RZRCTRFile* file) {
    return file && file->fd >= 0;
}

void RZRCTRFileFlush(RZRCTRFile* file) {
    if (!file || !file->bufferWrites || !file->writeBuffer) return;
    if (file->writeBufferLength > 0) {
        if (RZRCTRFileWriteWithRetries(file->fd, file->writeBuffer, file->writeBufferLength)) {
            file->bytesWritten += static_cast<std::int64_t>(file->writeBufferLength);
        } else {
            file->lineBroken = true;
        }
    }
    file->writeBufferLength = 0;
    file->writeBuffer[0] = '\0';
}

void RZRCTRFileOpenSection(RZRCTRFile* file, const char* name) {
    if (!file) return;
    if (file->lineBroken && file->collectionDepth == 0) {
        // End the damaged line so that this section starts a line of its own.
        file->lineBroken = false;
        writeBytes(file, "\n", 1);
    }
    RZRCTRFileOpenHash(file);
    RZRCTRFileWriteKey(file, name);
}

void RZRCTRFileCloseSection(RZRCTRFile* file) {
    if (!file) return;
    RZRCTRFileCloseHash(file);
    writeBytes(file, "\n", 1);
}

void RZRCTRFileOpenHash(RZRCTRFile* file) {
    openCollection(file, '{');
}
void RZRCTRFileCloseHash(RZRCTRFile* file) {
    closeCollection(file, '}');
}
void RZRCTRFileOpenArray(RZRCTRFile* file) {
    openCollection(file, '[');
}
void RZRCTRFileCloseArray(RZRCTRFile* file) {
    closeCollection(file, ']');
}

void RZRCTRFileWriteKey(RZRCTRFile* file, const char* key) {
    if (!file) return;
    Stager out(file);
    writeComma(file, out);
    out.put('"');
    if (key) putEscaped(out, key, std::strlen(key));
    out.put('"');
    out.put(':');
    file->needComma = false;
}

void RZRCTRFileWriteUInt64Entry(RZRCTRFile* file, const char* key, std::uint64_t value) {
    if (!file) return;
    RZRCTRFileWriteKey(file, key);
    writeUInt64Value(file, value);
}

void RZRCTRFileWriteInt64Entry(RZRCTRFile* file, const char* key, std::int64_t value) {
    if (!file) return;
    RZRCTRFileWriteKey(file, key);
    writeInt64Value(file, value);
}

void RZRCTRFileWriteStringEntry(RZRCTRFile* file, const char* key, const char* value) {
    RZRCTRFileWriteStringEntryWithLength(file, key, value, lengthOf(value));
}

void RZRCTRFileWriteStringEntryWithLength(RZRCTRFile* file, const char* key, const char* value,
                                          std::size_t length) {
    if (!file) return;
    RZRCTRFileWriteKey(file, key);
    writeStringValue(file, value, length);
}

void RZRCTRFileWriteHexStringEntry(RZRCTRFile* file, const char* key, const char* value) {
    RZRCTRFileWriteHexStringEntryWithLength(file, key, value, lengthOf(value));
}

void RZRCTRFileWriteHexStringEntryWithLength(RZRCTRFile* file, const char* key, const char* value,
                                             std::size_t length) {
    if (!file) return;
    RZRCTRFileWriteKey(file, key);
    writeHexValue(file, value, length);
}

void RZRCTRFileWriteBoolEntry(RZRCTRFile* file, const char* key, bool value) {
    if (!file) return;
    RZRCTRFileWriteKey(file, key);
    writeBytes(file, value ? "true" : "false", value ? 4 : 5);
    file->needComma = true;
}

void RZRCTRFileWriteNSStringEntry(RZRCTRFile* file, const char* key, std::string_view value) {
    RZRCTRFileWriteStringEntryWithLength(file, key, value.data() ? value.data() : "", value.size());
}

void RZRCTRFileWriteNonEmptyNSStringEntry(RZRCTRFile* file, const char* key,
                                          std::string_view value) {
    if (!value.empty()) RZRCTRFileWriteNSStringEntry(file, key, value);
}

void RZRCTRFileWriteNullEntry(RZRCTRFile* file, const char* key) {
    RZRCTRFileWriteStringEntryWithLength(file, key, nullptr, 0);
}

void RZRCTRFileAppendUInt64(RZRCTRFile* file, std::uint64_t value) {
    if (!file) return;
    {
        Stager out(file);
        writeComma(file, out);
    }
    writeUInt64Value(file, value);
}

void RZRCTRFileAppendString(RZRCTRFile* file, const char* value) {
    RZRCTRFileAppendStringWithLength(file, value, lengthOf(value));
}

void RZRCTRFileAppendStringWithLength(RZRCTRFile* file, const char* value, std::size_t length) {
    if (!file) return;
    {
        Stager out(file);
        writeComma(file, out);
    }
    writeStringValue(file, value, length);
}

void RZRCTRFileAppendHexString(RZRCTRFile* file, const char* value) {
    if (!file) return;
    {
        Stager out(file);
        writeComma(file, out);
    }
    writeHexValue(file, value, lengthOf(value));
}
