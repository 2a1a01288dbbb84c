#include "services/measurement/APMPBCells.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log/Log.h"

namespace {

struct HeapLimit {
    bool active = false;
    const char* typeName = nullptr;
    std::size_t inputLength = 0;
    std::size_t limit = 0;
    std::size_t left = 0;
    bool exceeded = false;
};
thread_local HeapLimit gHeapLimit;

// The heap a block of `size` bytes takes: the C library's chunk, with its
// header, rounded to 16 bytes and at least 32. Counted from the size asked
// for, so that an input decodes or is refused whatever the heap's state.
std::size_t heapCost(std::size_t size) {
    return std::max<std::size_t>(32, (size + sizeof(std::size_t) + 15) & ~std::size_t{15});
}

}  // namespace

APMPBDecodeHeapLimit::APMPBDecodeHeapLimit(const char* typeName, std::size_t inputLength) {
    if (gHeapLimit.active) return;
    outermost_ = true;
    const std::size_t perByte =
        inputLength > SIZE_MAX / kAPMPBDecodeHeapPerInputByte
            ? SIZE_MAX - kAPMPBDecodeHeapAllowance
            : inputLength * kAPMPBDecodeHeapPerInputByte;
    const std::size_t limit = perByte + kAPMPBDecodeHeapAllowance;
    gHeapLimit = HeapLimit{true, typeName, inputLength, limit, limit, false};
}

APMPBDecodeHeapLimit::~APMPBDecodeHeapLimit() {
    if (outermost_) gHeapLimit = HeapLimit{};
}

void* APMPBAllocate(std::size_t count, std::size_t size) {
    HeapLimit& limit = gHeapLimit;
    if (!limit.active) return std::calloc(count, size);
    if (!limit.exceeded && (size == 0 || count <= limit.left / size) &&
        heapCost(count * size) <= limit.left) {
        void* memory = std::calloc(count, size);
        if (memory != nullptr) limit.left -= heapCost(count * size);
        return memory;
    }
    if (!limit.exceeded) {
        limit.exceeded = true;
        char line[256];
        std::snprintf(line, sizeof line,
                      "<ERROR> %s decoder failed: %zu bytes of input need more than %zu bytes of "
                      "memory",
                      limit.typeName, limit.inputLength, limit.limit);
        printLine(line);
    }
    return nullptr;
}

namespace {

template <class T>
void setCell(void** destination, T value, std::size_t cellSize, const char* nullText) {
    if (destination == nullptr) {
        printLine(nullText);
        return;
    }
    if (*destination == nullptr) {
        *destination = APMPBAllocate(1, cellSize);
        if (*destination == nullptr) return;
    }
    std::memcpy(*destination, &value, sizeof(T));
}

bool skipRest(pb_istream_t* stream) {
    return pb_read(stream, nullptr, stream->bytes_left);
}

}  // namespace

void APMPBSetBoolCell(void** destination, bool value) {
    setCell<std::uint64_t>(destination, value ? 1 : 0, 8,
                           "<ERROR> Unable to set bool. Destination pointer is NULL");
}

void APMPBSetUInt32Cell(void** destination, std::uint32_t value) {
    setCell<std::uint64_t>(destination, value, 8,
                           "<ERROR> Unable to set uint32. Destination pointer is NULL");
}

void APMPBSetUInt64Cell(void** destination, std::uint64_t value) {
    setCell<std::uint64_t>(destination, value, 8,
                           "<ERROR> Unable to set uint64. Destination pointer is NULL");
}

void APMPBSetFloatCell(void** destination, float value) {
    setCell<float>(destination, value, 4,
                   "<ERROR> Unable to set float. Destination pointer is NULL");
}

void APMPBSetDoubleCell(void** destination, double value) {
    setCell<double>(destination, value, 8,
                    "<ERROR> Unable to set double. Destination pointer is NULL");
}

namespace {

// A string cell and its bytes in one block; `filled` marks the bytes as the
// cell's own.
APMPBArray* newBytesCell(const void* bytes, std::size_t length) {
    auto* cell = static_cast<APMPBArray*>(APMPBAllocate(1, sizeof(APMPBArray) + length + 1));
    if (cell == nullptr) return nullptr;
    cell->data = cell + 1;
    cell->count = static_cast<std::uint32_t>(length);
    cell->filled = 1;
    if (bytes != nullptr && length > 0) std::memcpy(cell->data, bytes, length);
    return cell;
}

}  // namespace

void APMPBSetBytesCell(void** destination, const void* bytes, std::size_t length) {
    if (destination == nullptr) {
        printLine("<ERROR> Unable to set string. Destination array is NULL");
        return;
    }
    if (*destination == nullptr) {
        *destination = newBytesCell(bytes, length);
        return;
    }
    auto* cell = static_cast<APMPBArray*>(*destination);
    if (cell->data != nullptr) APMPBReleaseBytes(cell);
    void* copy = APMPBAllocate(length + 1, 1);
    if (copy == nullptr) return;
    if (length > 0) std::memcpy(copy, bytes, length);
    cell->data = copy;
    cell->count = static_cast<std::uint32_t>(length);
}

void APMPBReleaseBytes(APMPBArray* cell) {
    if (cell == nullptr) {
        printLine("<ERROR> Unable to dealloc string field. String struct is NULL");
        return;
    }
    if (cell->filled == 0) std::free(cell->data);
    *cell = APMPBArray{};
}

void APMPBReleaseArray(APMPBArray* container) {
    if (container == nullptr) {
        printLine("<ERROR> Unable to initialize the array. Array pointer is NULL");
        return;
    }
    std::free(container->data);
    *container = APMPBArray{};
}

bool APMPBDecodeBytesField(pb_istream_t* stream, const pb_field_t*, void** arg) {
    if (arg == nullptr || *arg == nullptr) return false;
    auto** slot = static_cast<void**>(*arg);
    if (auto* cell = static_cast<APMPBArray*>(*slot)) {
        // The first occurrence of the field is the one kept.
        if (cell->data != nullptr) return skipRest(stream);
        printLine("<ERROR> String decoder failed: string data is NULL");
        return false;
    }
    const std::size_t length = stream->bytes_left;
    if (length > kAPMPBMaxBytesFieldLength) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "Unable to process proto stream. Buffer is too big. %zu > %d", length,
                      static_cast<int>(kAPMPBMaxBytesFieldLength));
        printLine(line);
        return false;
    }
    APMPBArray* cell = newBytesCell(nullptr, length);
    if (cell == nullptr) return false;
    if (!pb_read(stream, static_cast<pb_byte_t*>(cell->data), length)) {
        std::free(cell);
        return false;
    }
    *slot = cell;
    return true;
}

namespace {

// The element slot the filling pass writes next, or null when the counting
// pass is running (counted instead) or the elements are used up.
bool nextElement(APMPBArray* container, void*** slot) {
    *slot = nullptr;
    if (container->data == nullptr) {
        if (container->count == UINT32_MAX) return false;
        ++container->count;
        return true;
    }
    if (container->filled >= container->count) {
        printLine("<ERROR> Repeated field decoder failed: more elements than counted");
        return false;
    }
    *slot = &static_cast<void**>(container->data)[container->filled];
    return true;
}

}  // namespace

bool APMPBDecodeRepeatedBytes(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    if (arg == nullptr || *arg == nullptr) return false;
    auto* container = static_cast<APMPBArray*>(*arg);
    void** slot = nullptr;
    if (!nextElement(container, &slot)) return false;
    if (slot == nullptr) return skipRest(stream);
    void* target = slot;
    if (!APMPBDecodeBytesField(stream, field, &target)) return false;
    ++container->filled;
    return true;
}

bool APMPBDecodeRepeatedUInt64(pb_istream_t* stream, const pb_field_t*, void** arg) {
    if (arg == nullptr || *arg == nullptr) return false;
    auto* container = static_cast<APMPBArray*>(*arg);
    std::uint64_t value = 0;
    if (!pb_decode_varint(stream, &value)) return false;
    void** slot = nullptr;
    if (!nextElement(container, &slot)) return false;
    if (slot == nullptr) return true;
    APMPBSetUInt64Cell(slot, value);
    if (*slot == nullptr) return false;
    ++container->filled;
    return true;
}

bool APMPBEncodeBytesField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    if (arg == nullptr) return false;
    const auto* cell = static_cast<const APMPBArray*>(*arg);
    if (cell == nullptr || cell->data == nullptr) return false;
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, static_cast<const pb_byte_t*>(cell->data), cell->count);
}

bool APMPBEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    if (arg == nullptr) return false;
    const auto* container = static_cast<const APMPBArray*>(*arg);
    if (container == nullptr || container->data == nullptr) return false;
    auto* const* items = static_cast<void* const*>(container->data);
    for (std::uint32_t i = 0; i < container->count; ++i) {
        if (!APMPBEncodeBytesField(stream, field, &items[i])) return false;
    }
    return true;
}

bool APMPBEncodeRepeatedUInt64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    if (arg == nullptr) return false;
    const auto* container = static_cast<const APMPBArray*>(*arg);
    if (container == nullptr || container->data == nullptr) return false;
    auto* const* items = static_cast<void* const*>(container->data);
    for (std::uint32_t i = 0; i < container->count; ++i) {
        if (items[i] == nullptr) return false;
        std::uint64_t value = 0;
        std::memcpy(&value, items[i], sizeof value);
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, value)) {
            return false;
        }
    }
    return true;
}

long APMPBEncodeToBuffer(const pb_msgdesc_t* fields, const void* message, std::uint8_t** output) {
    if (output == nullptr) return -1;
    *output = nullptr;
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, fields, message)) return -1;
    auto* buffer = static_cast<std::uint8_t*>(std::calloc(size > 0 ? size : 1, 1));
    if (buffer == nullptr) return -1;
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, size);
    if (!pb_encode(&stream, fields, message) || stream.bytes_written != size) {
        std::free(buffer);
        return -1;
    }
    *output = buffer;
    return static_cast<long>(size);
}
