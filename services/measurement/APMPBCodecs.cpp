#include "services/measurement/APMPBCodecs.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/log/Log.h"
#include "services/measurement/APMPBCells.h"

namespace {

thread_local int gDecodeDepth = 0;
thread_local int gEncodeDepth = 0;

struct DepthGuard {
    explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
    ~DepthGuard() { --depth_; }
    int& depth_;
};

[[gnu::format(printf, 1, 2)]] void printError(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    printLine(line);
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using WireStruct = std::unique_ptr<void, FreeDeleter>;

bool isRepeated(std::uint32_t t) {
    return (t & APMPB_FIELD_REPEATED) != 0;
}
bool isMessage(std::uint32_t t) {
    return (t & APMPB_TYPE_MESSAGE) != 0;
}
bool isBytes(std::uint32_t t) {
    return (t & (APMPB_TYPE_STRING | APMPB_TYPE_BYTES)) != 0;
}
std::size_t scalarCellSize(std::uint32_t t) {
    return (t & APMPB_TYPE_FLOAT) ? 4 : 8;
}

// Where one field lives in its type's wire struct: its value, nested struct
// or callback, its has flag (none for callback fields) and, for a singular
// message, the callback nanopb calls before decoding it.
struct WireField {
    static constexpr std::size_t kNone = SIZE_MAX;
    std::size_t data = kNone;
    std::size_t has = kNone;
    std::size_t before = kNone;
};

// Per message type, found once with nanopb's iterator so that each field is
// then reached in constant time; and the record's slot block: the slots,
// then the container of each repeated field and the cell of each scalar
// field but float ones, so that a record takes one allocation and its
// scalars none. Float fields are rare here, and without their cell the
// record of an event parameter fits the allocator's next smaller chunk.
struct TypeLayout {
    std::vector<WireField> fields;  // by field ID
    std::vector<std::size_t> cells;  // by field ID: offset in the slot block, or 0
    std::size_t blockSize = 0;
    bool twoPasses = false;
};

bool needsCountingPass(const APMPBMessageType& type) {
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        if (isRepeated(t)) return true;
        if (isMessage(t) && needsCountingPass(*type.fields[id].element)) return true;
    }
    return false;
}

TypeLayout layoutFor(const APMPBMessageType& type) {
    TypeLayout layout;
    layout.fields.resize(type.fieldCount);
    layout.twoPasses = needsCountingPass(type);
    layout.cells.resize(type.fieldCount);
    layout.blockSize = type.fieldCount * sizeof(void*);
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        if (isRepeated(t)) {
            layout.cells[id] = layout.blockSize;
            layout.blockSize += sizeof(APMPBArray);
        } else if (!isMessage(t) && !isBytes(t) && (t & APMPB_TYPE_FLOAT) == 0) {
            layout.cells[id] = layout.blockSize;
            layout.blockSize += sizeof(std::uint64_t);
        }
    }
    std::unordered_map<std::uint32_t, std::uint32_t> idOfNumber;
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) idOfNumber[type.fields[id].number] = id;
    std::vector<char> wire(type.structSize + 1);
    char* base = wire.data();
    pb_field_iter_t iter;
    if (!pb_field_iter_begin(&iter, type.descriptor, base)) return layout;
    do {
        const auto found = idOfNumber.find(iter.tag);
        if (found == idOfNumber.end()) continue;
        WireField& field = layout.fields[found->second];
        field.data = static_cast<std::size_t>(static_cast<char*>(iter.pData) - base);
        if (iter.pSize != nullptr) {
            field.has = static_cast<std::size_t>(static_cast<char*>(iter.pSize) - base);
            // nanopb keeps this callback right before the has flag.
            if (PB_LTYPE(iter.type) == PB_LTYPE_SUBMSG_W_CB) {
                field.before = field.has - sizeof(pb_callback_t);
            }
        }
    } while (pb_field_iter_next(&iter));
    return layout;
}

struct Layouts {
    std::unordered_map<const APMPBMessageType*, TypeLayout> byType;
    std::unordered_map<const pb_msgdesc_t*, const APMPBMessageType*> byDescriptor;
};

const Layouts& layouts() {
    static const auto* const all = [] {
        auto* made = new Layouts();
        for (const APMPBMessageType* t : kAPMPBMessageTypes) {
            made->byType.emplace(t, layoutFor(*t));
            made->byDescriptor.emplace(t->descriptor, t);
        }
        return made;
    }();
    return *all;
}

const TypeLayout& layoutOf(const APMPBMessageType& type) {
    return layouts().byType.at(&type);
}

// The field's place in `wire`, or null when the struct lacks the field.
void* wireData(void* wire, const WireField& field) {
    return field.data == WireField::kNone ? nullptr : static_cast<char*>(wire) + field.data;
}

bool hasFlag(void* wire, const WireField& field) {
    std::uint8_t b = 0;
    if (field.has != WireField::kNone) std::memcpy(&b, static_cast<char*>(wire) + field.has, 1);
    return b != 0;
}

void setHasFlag(void* wire, const WireField& field) {
    const bool yes = true;
    if (field.has != WireField::kNone) {
        std::memcpy(static_cast<char*>(wire) + field.has, &yes, sizeof yes);
    }
}

// The record's own cell or container of a field, zeroed.
void* ownCell(APMPBMessageInfo* info, const TypeLayout& layout, std::uint32_t id) {
    void* cell = reinterpret_cast<char*>(info->fields) + layout.cells[id];
    std::memset(cell, 0, isRepeated(info->types[id]) ? sizeof(APMPBArray) : sizeof(std::uint64_t));
    return cell;
}

bool isOwnCell(const APMPBMessageInfo* info, const TypeLayout& layout, const void* item) {
    const auto at = reinterpret_cast<std::uintptr_t>(item);
    const auto block = reinterpret_cast<std::uintptr_t>(info->fields);
    return at >= block && at < block + layout.blockSize;
}

void freeItem(const APMPBFieldSpec& spec, std::uint32_t t, void* item) {
    if (item == nullptr) return;
    if (isMessage(t)) {
        APMPBFreeMessageInfo(*spec.element, static_cast<APMPBMessageInfo*>(item));
    } else if (isBytes(t)) {
        APMPBReleaseBytes(static_cast<APMPBArray*>(item));
        std::free(item);
    } else {
        std::free(item);
    }
}

void emptyContainer(const APMPBFieldSpec& spec, std::uint32_t t, APMPBArray* container) {
    if (auto** items = static_cast<void**>(container->data)) {
        for (std::uint32_t i = 0; i < container->count; ++i) freeItem(spec, t, items[i]);
    }
    APMPBReleaseArray(container);
}

// Frees one field's value and nulls its slot; a repeated field is emptied and
// keeps its container.
void clearField(const APMPBMessageType& type, const TypeLayout& layout, APMPBMessageInfo* info,
                std::uint32_t id) {
    const std::uint32_t t = type.types[id];
    void*& slot = info->fields[id];
    if (isRepeated(t)) {
        if (slot != nullptr) emptyContainer(type.fields[id], t, static_cast<APMPBArray*>(slot));
        return;
    }
    if (!isOwnCell(info, layout, slot)) freeItem(type.fields[id], t, slot);
    slot = nullptr;
}

// Copies a string value or a repeated field's scalar into a fresh cell at
// *slot.
bool copyCell(std::uint32_t t, const void* source, void** slot) {
    if (isBytes(t)) {
        const auto* cell = static_cast<const APMPBArray*>(source);
        if (cell->data == nullptr) {
            *slot = APMPBAllocate(1, sizeof(APMPBArray));
        } else {
            APMPBSetBytesCell(slot, cell->data, cell->count);
        }
    } else {
        const std::size_t size = scalarCellSize(t);
        *slot = APMPBAllocate(1, size);
        if (*slot != nullptr) std::memcpy(*slot, source, size);
    }
    return *slot != nullptr;
}

void storeScalarToWire(std::uint32_t t, const void* cell, void* destination) {
    if (t & APMPB_TYPE_FLOAT) {
        std::memcpy(destination, cell, sizeof(float));
        return;
    }
    std::uint64_t v = 0;
    std::memcpy(&v, cell, sizeof v);
    if (t & APMPB_TYPE_BOOL) {
        const bool b = (v & 0xff) != 0;
        std::memcpy(destination, &b, sizeof b);
    } else if (t & (APMPB_TYPE_ENUM | APMPB_TYPE_UINT32)) {
        const auto x = static_cast<std::uint32_t>(v);
        std::memcpy(destination, &x, sizeof x);
    } else if (t & APMPB_TYPE_INT32) {
        const auto x = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        std::memcpy(destination, &x, sizeof x);
    } else {
        std::memcpy(destination, &v, sizeof v);
    }
}

void loadScalarFromWire(std::uint32_t t, const void* source, void** slot) {
    if (t & APMPB_TYPE_BOOL) {
        std::uint8_t b = 0;
        std::memcpy(&b, source, 1);
        APMPBSetBoolCell(slot, b != 0);
    } else if (t & (APMPB_TYPE_ENUM | APMPB_TYPE_UINT32 | APMPB_TYPE_INT32)) {
        std::uint32_t x = 0;
        std::memcpy(&x, source, sizeof x);
        APMPBSetUInt32Cell(slot, x);
    } else if (t & APMPB_TYPE_FLOAT) {
        float x = 0;
        std::memcpy(&x, source, sizeof x);
        APMPBSetFloatCell(slot, x);
    } else if (t & APMPB_TYPE_DOUBLE) {
        double x = 0;
        std::memcpy(&x, source, sizeof x);
        APMPBSetDoubleCell(slot, x);
    } else {
        std::uint64_t x = 0;
        std::memcpy(&x, source, sizeof x);
        APMPBSetUInt64Cell(slot, x);
    }
}

// Decoding -------------------------------------------------------------------

bool setDecoders(const APMPBMessageType& type, APMPBMessageInfo* info, void* wire);

// The slot block right behind a record that newRecord made, in the same
// allocation. Records are malloc'd, and malloc aligns every block to
// max_align_t: a slot block allocated on its own never starts there.
static_assert(sizeof(APMPBMessageInfo) % alignof(std::max_align_t) != 0);
void** inlineSlots(APMPBMessageInfo* info) {
    return reinterpret_cast<void**>(info + 1);
}

void initRecord(const APMPBMessageType& type, APMPBMessageInfo* info, void** slots) {
    const TypeLayout& layout = layoutOf(type);
    info->name = type.name;
    info->types = type.types;
    info->fields = slots;
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        if (isRepeated(type.types[id])) info->fields[id] = ownCell(info, layout, id);
    }
}

// A fresh empty record with its slot block in the same allocation, or null.
APMPBMessageInfo* newRecord(const APMPBMessageType& type) {
    auto* info = static_cast<APMPBMessageInfo*>(
        APMPBAllocate(1, sizeof(APMPBMessageInfo) + layoutOf(type).blockSize));
    if (info != nullptr) initRecord(type, info, inlineSlots(info));
    return info;
}

// Called by nanopb as a singular message's bytes arrive: its record is made
// then, and the fields of its wire struct aimed at it. The argument is the
// message's slot; the filling pass finds the record the counting pass made.
bool beginNested(pb_istream_t*, const pb_field_t* field, void** arg) {
    auto** slot = static_cast<void**>(*arg);
    if (*slot != nullptr) return true;
    const APMPBMessageType* type = layouts().byDescriptor.at(field->submsg_desc);
    APMPBMessageInfo* nested = newRecord(*type);
    if (nested == nullptr) return false;
    *slot = nested;
    return setDecoders(*type, nested, field->pData);
}

// Aims every string, repeated and singular message field of `wire` at the
// record: fields are emptied, nested records made when their bytes arrive.
bool setDecoders(const APMPBMessageType& type, APMPBMessageInfo* info, void* wire) {
    const TypeLayout& layout = layoutOf(type);
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        const APMPBFieldSpec& spec = type.fields[id];
        void* data = wireData(wire, layout.fields[id]);
        if (data == nullptr) return false;
        if (isRepeated(t)) {
            auto* container = static_cast<APMPBArray*>(info->fields[id]);
            if (container == nullptr) return false;
            emptyContainer(spec, t, container);
            auto* callback = static_cast<pb_callback_t*>(data);
            if (isMessage(t)) {
                callback->funcs.decode = spec.element->decodeRepeated;
            } else if (isBytes(t)) {
                callback->funcs.decode = APMPBDecodeRepeatedBytes;
            } else {
                callback->funcs.decode = APMPBDecodeRepeatedUInt64;
            }
            callback->arg = container;
        } else if (isMessage(t)) {
            clearField(type, layout, info, id);
            if (layout.fields[id].before == WireField::kNone) return false;
            auto* callback = reinterpret_cast<pb_callback_t*>(static_cast<char*>(wire) +
                                                              layout.fields[id].before);
            callback->funcs.decode = beginNested;
            callback->arg = &info->fields[id];
        } else {
            // Decoding replaces: no value of an earlier decode survives.
            clearField(type, layout, info, id);
            if (isBytes(t)) {
                auto* callback = static_cast<pb_callback_t*>(data);
                callback->funcs.decode = APMPBDecodeBytesField;
                callback->arg = &info->fields[id];
            }
        }
    }
    return true;
}

bool allocateArrays(const APMPBMessageType& type, APMPBMessageInfo* info) {
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        if (isRepeated(t)) {
            auto* container = static_cast<APMPBArray*>(info->fields[id]);
            if (container == nullptr) {
                printError("<ERROR> Cannot allocate %s arrays. Missing params field (%s)",
                           type.name, type.fields[id].name);
                return false;
            }
            if (container->count > 0) {
                container->data = APMPBAllocate(container->count, sizeof(void*));
                if (container->data == nullptr) return false;
            }
            container->filled = 0;
        } else if (isMessage(t) && info->fields[id] != nullptr) {
            if (!allocateArrays(*type.fields[id].element,
                                static_cast<APMPBMessageInfo*>(info->fields[id]))) {
                return false;
            }
        }
    }
    return true;
}

// Moves the scalars nanopb wrote into cells.
bool copyDecodedScalars(const APMPBMessageType& type, APMPBMessageInfo* info, void* wire) {
    const TypeLayout& layout = layoutOf(type);
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        if (isRepeated(t) || isBytes(t)) continue;
        const WireField& field = layout.fields[id];
        void* data = wireData(wire, field);
        if (data == nullptr) continue;
        if (isMessage(t)) {
            auto* nested = static_cast<APMPBMessageInfo*>(info->fields[id]);
            if (nested != nullptr && !copyDecodedScalars(*type.fields[id].element, nested, data)) {
                return false;
            }
        } else if (hasFlag(wire, field)) {
            if (info->fields[id] == nullptr && layout.cells[id] != 0) {
                info->fields[id] = ownCell(info, layout, id);
            }
            loadScalarFromWire(t, data, &info->fields[id]);
        }
    }
    return true;
}

// The bytes a stream reads next when it reads from memory, as every stream
// of a decode does: an element is then decoded where it lies, not copied.
const std::uint8_t* memoryOf(const pb_istream_t* stream) {
    static const auto readsMemory = pb_istream_from_buffer(nullptr, 0).callback;
    if (stream->callback != readsMemory || stream->state == nullptr) return nullptr;
    return static_cast<const std::uint8_t*>(stream->state);
}

bool runDecoder(const APMPBMessageType& type, const std::uint8_t* bytes, std::size_t length,
                void* wire) {
    pb_istream_t stream = pb_istream_from_buffer(bytes, length);
    if (pb_decode_ex(&stream, type.descriptor, wire, PB_DECODE_NOINIT)) return true;
    printError("<ERROR> %s decoder failed: %s", type.name,
               stream.errmsg ? stream.errmsg : "(none)");
    return false;
}

// Encoding -------------------------------------------------------------------

// A repeated message field during one encode: its elements are encoded once
// and the bytes reused by nanopb's sizing and writing passes.
struct RepeatedMessages {
    const APMPBMessageType* type = nullptr;
    const APMPBArray* container = nullptr;
    bool encoded = false;
    std::vector<std::pair<std::uint8_t*, std::size_t>> elements;
    ~RepeatedMessages() {
        for (auto& e : elements) std::free(e.first);
    }
};

struct EncodeState {
    std::deque<RepeatedMessages> repeated;
};

bool encodeRepeatedOnce(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    auto* r = static_cast<RepeatedMessages*>(*arg);
    if (!r->encoded) {
        auto* const* items = static_cast<void* const*>(r->container->data);
        if (items == nullptr) return false;
        for (std::uint32_t i = 0; i < r->container->count; ++i) {
            if (items[i] == nullptr) return false;
            std::uint8_t* bytes = nullptr;
            const long n =
                APMPBEncode(*r->type, static_cast<const APMPBMessageInfo*>(items[i]), &bytes);
            if (n < 0) return false;
            r->elements.emplace_back(bytes, static_cast<std::size_t>(n));
        }
        r->encoded = true;
    }
    for (const auto& [bytes, size] : r->elements) {
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_string(stream, bytes, size)) {
            return false;
        }
    }
    return true;
}

bool prepareEncoders(const APMPBMessageType& type, const APMPBMessageInfo* info, void* wire,
                     EncodeState& state) {
    const TypeLayout& layout = layoutOf(type);
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        const APMPBFieldSpec& spec = type.fields[id];
        void* slot = info->fields[id];
        if (!isRepeated(t) && slot == nullptr) continue;
        const WireField& field = layout.fields[id];
        void* data = wireData(wire, field);
        if (data == nullptr) return false;
        if (isRepeated(t)) {
            auto* container = static_cast<const APMPBArray*>(slot);
            if (container == nullptr) {
                printError("<ERROR> %s Encoder: '%s' should have been allocated", type.name,
                           spec.name);
                return false;
            }
            if (container->count == 0) continue;
            auto* callback = static_cast<pb_callback_t*>(data);
            if (isMessage(t)) {
                RepeatedMessages& r = state.repeated.emplace_back();
                r.type = spec.element;
                r.container = container;
                callback->funcs.encode = encodeRepeatedOnce;
                callback->arg = &r;
            } else {
                callback->funcs.encode =
                    isBytes(t) ? APMPBEncodeRepeatedBytes : APMPBEncodeRepeatedUInt64;
                callback->arg = const_cast<APMPBArray*>(container);
            }
        } else if (isBytes(t)) {
            auto* callback = static_cast<pb_callback_t*>(data);
            callback->funcs.encode = APMPBEncodeBytesField;
            callback->arg = slot;
        } else if (isMessage(t)) {
            setHasFlag(wire, field);
            if (!prepareEncoders(*spec.element, static_cast<const APMPBMessageInfo*>(slot), data,
                                 state)) {
                return false;
            }
        } else {
            setHasFlag(wire, field);
            storeScalarToWire(t, slot, data);
        }
    }
    return true;
}

}  // namespace

int APMPBInitMessageInfo(const APMPBMessageType& type, APMPBMessageInfo* info) {
    if (info == nullptr) return 0;
    auto** slots = static_cast<void**>(APMPBAllocate(1, layoutOf(type).blockSize));
    if (slots == nullptr) return 0;
    initRecord(type, info, slots);
    return 1;
}

int APMPBDeallocField(const APMPBMessageType& type, APMPBMessageInfo* info, std::int32_t fieldID) {
    if (info == nullptr) return 0;
    if (fieldID < 0 || static_cast<std::uint32_t>(fieldID) >= type.fieldCount) {
        printError("<ERROR> %s: Cannot deallocate field %d: Unknown field", type.name, fieldID);
        return 0;
    }
    if (info->fields == nullptr) return 0;
    clearField(type, layoutOf(type), info, static_cast<std::uint32_t>(fieldID));
    return 1;
}

int APMPBFreeMessageInfo(const APMPBMessageType& type, APMPBMessageInfo* info) {
    if (info == nullptr) return 0;
    if (info->fields != nullptr) {
        const TypeLayout& layout = layoutOf(type);
        for (std::uint32_t id = 0; id < type.fieldCount; ++id) clearField(type, layout, info, id);
        if (info->fields != inlineSlots(info)) std::free(info->fields);
    }
    std::free(info);
    return 1;
}

int APMPBCopyMessageInfo(const APMPBMessageType& type, APMPBMessageInfo** destination,
                         const APMPBMessageInfo* source) {
    if (destination == nullptr || source == nullptr || source->fields == nullptr) return 0;
    if (*destination != nullptr) {
        APMPBFreeMessageInfo(type, *destination);
        *destination = nullptr;
    }
    APMPBMessageInfo* info = newRecord(type);
    if (info == nullptr) return 0;
    *destination = info;
    const TypeLayout& layout = layoutOf(type);
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        const APMPBFieldSpec& spec = type.fields[id];
        const void* from = source->fields[id];
        if (from == nullptr) continue;
        if (isRepeated(t)) {
            const auto* sourceItems = static_cast<const APMPBArray*>(from);
            if (sourceItems->count == 0 || sourceItems->data == nullptr) continue;
            auto* container = static_cast<APMPBArray*>(info->fields[id]);
            auto** items = static_cast<void**>(APMPBAllocate(sourceItems->count, sizeof(void*)));
            if (items == nullptr) return 0;
            container->data = items;
            container->count = sourceItems->count;
            container->filled = sourceItems->count;
            auto* const* fromItems = static_cast<void* const*>(sourceItems->data);
            for (std::uint32_t i = 0; i < sourceItems->count; ++i) {
                if (fromItems[i] == nullptr) continue;
                const bool copied =
                    isMessage(t)
                        ? APMPBCopyMessageInfo(
                              *spec.element, reinterpret_cast<APMPBMessageInfo**>(&items[i]),
                              static_cast<const APMPBMessageInfo*>(fromItems[i])) != 0
                        : copyCell(t, fromItems[i], &items[i]);
                if (!copied) return 0;
            }
        } else if (isMessage(t)) {
            if (!APMPBCopyMessageInfo(*spec.element,
                                      reinterpret_cast<APMPBMessageInfo**>(&info->fields[id]),
                                      static_cast<const APMPBMessageInfo*>(from))) {
                return 0;
            }
        } else if (!isBytes(t) && layout.cells[id] != 0) {
            info->fields[id] = ownCell(info, layout, id);
            std::memcpy(info->fields[id], from, scalarCellSize(t));
        } else if (!copyCell(t, from, &info->fields[id])) {
            return 0;
        }
    }
    return 1;
}

bool APMPBDecodesInTwoPasses(const APMPBMessageType& type) {
    return layoutOf(type).twoPasses;
}

int APMPBDecode(const APMPBMessageType& type, const std::uint8_t* bytes, std::size_t length,
                APMPBMessageInfo* info) {
    if (info == nullptr) {
        printError("<ERROR> %s decoder failed: message_info is NULL", type.name);
        return 0;
    }
    if (gDecodeDepth >= kAPMPBMaxNestingDepth) {
        printError("<ERROR> %s decoder failed: Message nesting is too deep", type.name);
        return 0;
    }
    DepthGuard depth(gDecodeDepth);
    if (bytes == nullptr && length > 0) {
        printError("<ERROR> %s decoder failed: (none)", type.name);
        return 0;
    }
    const APMPBDecodeHeapLimit heapLimit(type.name, length);
    WireStruct wire(std::calloc(1, type.structSize));
    if (wire == nullptr || info->fields == nullptr || !setDecoders(type, info, wire.get())) {
        printError("<ERROR> %s decoder failed: Unable to set decoders", type.name);
        return 0;
    }
    if (!runDecoder(type, bytes, length, wire.get())) return 0;
    if (layoutOf(type).twoPasses) {
        if (!allocateArrays(type, info)) {
            printError("<ERROR> %s decoder failed: Unable to allocate arrays", type.name);
            return 0;
        }
        if (!runDecoder(type, bytes, length, wire.get())) return 0;
    }
    if (!copyDecodedScalars(type, info, wire.get())) {
        printError("<ERROR> %s decoder failed: Unable to store values", type.name);
        return 0;
    }
    return 1;
}

bool APMPBDecodeRepeatedMessage(const APMPBMessageType& type, pb_istream_t* stream, void** arg) {
    auto* container = arg != nullptr ? static_cast<APMPBArray*>(*arg) : nullptr;
    if (container == nullptr) {
        printError("<ERROR> %s decoder failed: Invalid arg parameter", type.name);
        return false;
    }
    if (container->data == nullptr) {
        if (!pb_read(stream, nullptr, stream->bytes_left)) {
            printError("<ERROR> %s decoder failed: %s", type.name,
                       stream->errmsg ? stream->errmsg : "(none)");
            return false;
        }
        if (container->count == UINT32_MAX) return false;
        ++container->count;
        return true;
    }
    if (container->filled >= container->count) {
        printError("<ERROR> %s decoder failed: more elements than counted", type.name);
        return false;
    }
    const std::size_t length = stream->bytes_left;
    WireStruct copy;
    const std::uint8_t* bytes = memoryOf(stream);
    if (bytes == nullptr) {
        copy.reset(APMPBAllocate(length + 1, 1));
        bytes = static_cast<const std::uint8_t*>(copy.get());
    }
    if (bytes == nullptr || !pb_read(stream, copy ? static_cast<pb_byte_t*>(copy.get()) : nullptr,
                                     length)) {
        printError("<ERROR> %s decoder failed: Unable to extract buffer from stream", type.name);
        return false;
    }
    auto** items = static_cast<void**>(container->data);
    APMPBMessageInfo* element = newRecord(type);
    if (element == nullptr) {
        printError("<ERROR> %s decoder failed: Unable to initialize MessageInfo", type.name);
        return false;
    }
    // Stored before decoding, so a failed element is freed with its parent.
    items[container->filled] = element;
    if (!APMPBDecode(type, bytes, length, element)) {
        printError("<ERROR> %s decoder failed: Unable to decode repeated %s", type.name, type.name);
        return false;
    }
    ++container->filled;
    return true;
}

namespace {

long encodeRecord(const APMPBMessageType& type, const APMPBMessageInfo* info,
                  std::uint8_t* (*allocate)(std::size_t, void*), void* context) {
    if (info == nullptr || info->fields == nullptr) return -1;
    if (gEncodeDepth >= kAPMPBMaxNestingDepth) {
        printError("<ERROR> %s Encoder: message nesting is too deep", type.name);
        return -1;
    }
    DepthGuard depth(gEncodeDepth);
    WireStruct wire(std::calloc(1, type.structSize));
    EncodeState state;
    if (wire == nullptr || !prepareEncoders(type, info, wire.get(), state)) return -1;
    if (allocate == nullptr) {
        return APMPBEncodeToBuffer(type.descriptor, wire.get(),
                                   static_cast<std::uint8_t**>(context));
    }
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, type.descriptor, wire.get())) return -1;
    std::uint8_t* buffer = allocate(size, context);
    if (buffer == nullptr) return -1;
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, size);
    if (!pb_encode(&stream, type.descriptor, wire.get()) || stream.bytes_written != size) return -1;
    return static_cast<long>(size);
}

}  // namespace

long APMPBEncode(const APMPBMessageType& type, const APMPBMessageInfo* info,
                 std::uint8_t** output) {
    if (output == nullptr) return -1;
    *output = nullptr;
    return encodeRecord(type, info, nullptr, output);
}

long APMPBEncodeWith(const APMPBMessageType& type, const APMPBMessageInfo* info,
                     std::uint8_t* (*allocate)(std::size_t size, void* context), void* context) {
    if (allocate == nullptr) return -1;
    return encodeRecord(type, info, allocate, context);
}

bool APMPBEncodeRepeatedMessage(const APMPBMessageType& type, pb_ostream_t* stream,
                                const pb_field_t* field, void* const* arg) {
    const auto* container = arg != nullptr ? static_cast<const APMPBArray*>(*arg) : nullptr;
    if (container == nullptr) return false;
    if (container->count == 0) return true;
    auto* const* items = static_cast<void* const*>(container->data);
    if (items == nullptr) return false;
    for (std::uint32_t i = 0; i < container->count; ++i) {
        std::uint8_t* bytes = nullptr;
        const long n = APMPBEncode(type, static_cast<const APMPBMessageInfo*>(items[i]), &bytes);
        if (n < 0) return false;
        const bool ok = pb_encode_tag_for_field(stream, field) &&
                        pb_encode_string(stream, bytes, static_cast<std::size_t>(n));
        std::free(bytes);
        if (!ok) return false;
    }
    return true;
}

#define APMPB_DEFINE_CODEC(M)                                                                  \
    int M##_InitMessageInfo(APMPBMessageInfo* info) {                                          \
        return APMPBInitMessageInfo(kAPMPB##M##Type, info);                                    \
    }                                                                                          \
    int M##_DeallocField(APMPBMessageInfo* info, std::int32_t fieldID) {                       \
        return APMPBDeallocField(kAPMPB##M##Type, info, fieldID);                              \
    }                                                                                          \
    int M##_FreeMessageInfo(APMPBMessageInfo* info) {                                          \
        return APMPBFreeMessageInfo(kAPMPB##M##Type, info);                                    \
    }                                                                                          \
    int M##_CopyMessageInfo(APMPBMessageInfo** destination, const APMPBMessageInfo* source) {  \
        return APMPBCopyMessageInfo(kAPMPB##M##Type, destination, source);                     \
    }                                                                                          \
    int M##_Decode(const std::uint8_t* bytes, std::size_t length, APMPBMessageInfo* info) {    \
        return APMPBDecode(kAPMPB##M##Type, bytes, length, info);                              \
    }                                                                                          \
    bool M##_DecodeRepeated(pb_istream_t* stream, const pb_field_t*, void** arg) {             \
        return APMPBDecodeRepeatedMessage(kAPMPB##M##Type, stream, arg);                       \
    }                                                                                          \
    long M##_Encode(const APMPBMessageInfo* info, std::uint8_t** output) {                     \
        return APMPBEncode(kAPMPB##M##Type, info, output);                                     \
    }                                                                                          \
    bool M##_EncodeRepeated(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) { \
        return APMPBEncodeRepeatedMessage(kAPMPB##M##Type, stream, field, arg);                \
    }
APMPB_MESSAGE_TYPES(APMPB_DEFINE_CODEC)
#undef APMPB_DEFINE_CODEC
