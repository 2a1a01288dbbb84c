#include "services/crash/RZRCTRMachOBinary.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/bundle/NSBundle.h"
#include "services/crash/RZRCTRByteUtilities.h"

std::shared_ptr<RZRCTRMachOSlice> RZRCTRMachOSlice::runningSlice() {
    return std::make_shared<RZRCTRMachOSlice>(RZRCTRMachOSliceGetCurrent());
}

RZRCTRMachOSlice::RZRCTRMachOSlice(RZRCTRMachOSliceInfo slice) : slice_(slice) {
    RZRCTRMachOSliceEnumerateLoadCommands(&slice_, [this](const RZRCTRMachOLoadCommand& command) {
        switch (command.type) {
            case kRZRCTRMachOLoadCommandUUID:
                if (const std::uint8_t* bytes = RZRCTRMachOGetUUID(command)) {
                    char text[33];
                    RZRCTRMachONormalizeUUID(bytes, text);
                    uuid_ = text;
                }
                break;
            case kRZRCTRMachOLoadCommandLoadDylib:
                if (const char* path = RZRCTRMachOGetDylibPath(command))
                    linkedDylibs_.emplace_back(path);
                break;
            case kRZRCTRMachOLoadCommandVersionMinMacOSX:
            case kRZRCTRMachOLoadCommandVersionMinIPhoneOS:
            case kRZRCTRMachOLoadCommandVersionMinTVOS:
            case kRZRCTRMachOLoadCommandVersionMinWatchOS:
                minimumOSVersion_ = RZRCTRMachOGetMinimumOSVersion(command);
                linkedSDKVersion_ = RZRCTRMachOGetLinkedSDKVersion(command);
                break;
            default:
                break;
        }
    });
}

std::string RZRCTRMachOSlice::architectureName() const {
    return RZRCTRMachOSliceGetArchitectureName(slice_);
}

std::shared_ptr<RZRCTRMachOBinary> RZRCTRMachOBinary::MachOBinaryWithPath(const std::string& path) {
    std::shared_ptr<RZRCTRMachOBinary> binary(new RZRCTRMachOBinary());
    binary->path_ = path;
    if (!RZRCTRMachOFileInitWithPath(&binary->file_, path.c_str())) return nullptr;
    RZRCTRMachOFileEnumerateSlices(&binary->file_, [&](RZRCTRMachOSliceInfo slice) {
        binary->slices_.push_back(std::make_shared<RZRCTRMachOSlice>(slice));
    });
    return binary;
}

RZRCTRMachOBinary::~RZRCTRMachOBinary() {
    RZRCTRMachOFileDestroy(&file_);
}

const std::string& RZRCTRMachOBinary::instanceIdentifier() {
    if (!instanceIdentifier_) {
        std::vector<std::shared_ptr<RZRCTRMachOSlice>> sorted = slices_;
        std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
            return a->architectureName() < b->architectureName();
        });
        std::string joined;
        for (const auto& slice : sorted) joined += slice->uuid();
        instanceIdentifier_ = hashNSString(joined);
    }
    return *instanceIdentifier_;
}

void RZRCTRMachOBinary::enumerateUUIDs(
    const std::function<void(const std::string&, const std::string&)>& block) const {
    for (const auto& slice : slices_) block(slice->uuid(), slice->architectureName());
}

std::shared_ptr<RZRCTRMachOSlice> RZRCTRMachOBinary::sliceForArchitecture(
    const std::string& name) const {
    for (const auto& slice : slices_)
        if (slice->architectureName() == name) return slice;
    return nullptr;
}

std::string RZRCTRMachOBinary::hashNSString(const std::string& text) {
    return RZRCTRGenerateSHA1HexString(text.data(), static_cast<std::uint32_t>(text.size()))
        .value_or("");
}

std::shared_ptr<RZRCTRdSYM> RZRCTRdSYM::dSYMWithURL(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::exists(path, error)) return nullptr;
    auto bundle = NSBundle::bundleWithPath(path);
    if (!bundle) return nullptr;
    const fs::path dwarf = fs::path(path) / "Contents" / "Resources" / "DWARF";
    if (!fs::is_directory(dwarf, error)) return nullptr;
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(dwarf, error)) entries.push_back(entry.path());
    if (entries.empty()) return nullptr;
    std::sort(entries.begin(), entries.end());
    auto binary = RZRCTRMachOBinary::MachOBinaryWithPath(entries.front().string());
    if (!binary) return nullptr;
    auto dsym = std::make_shared<RZRCTRdSYM>();
    dsym->bundle_ = std::move(bundle);
    dsym->binary_ = std::move(binary);
    return dsym;
}

std::string RZRCTRdSYM::bundleIdentifier() const {
    static const std::string kPrefix = "com.apple.xcode.dsym.";
    std::string identifier = bundle_->bundleIdentifier();
    if (identifier.compare(0, kPrefix.size(), kPrefix) == 0) identifier.erase(0, kPrefix.size());
    return identifier;
}

namespace {
std::string infoString(const NSBundle& bundle, const char* key) {
    const Value* value = bundle.objectForInfoDictionaryKey(key);
    return value != nullptr ? value->asString().value_or("") : "";
}
}  // namespace

std::string RZRCTRdSYM::bundleVersion() const {
    return infoString(*bundle_, "CFBundleVersion");
}
std::string RZRCTRdSYM::shortBundleVersion() const {
    return infoString(*bundle_, "CFBundleShortVersionString");
}
const std::string& RZRCTRdSYM::executableURL() const {
    return binary_->URL();
}
const std::string& RZRCTRdSYM::executablePath() const {
    return binary_->path();
}
void RZRCTRdSYM::enumerateUUIDs(
    const std::function<void(const std::string&, const std::string&)>& block) const {
    binary_->enumerateUUIDs(block);
}

std::shared_ptr<RZRCTRCodeMapping> RZRCTRCodeMapping::mappingWithURL(const std::string& url) {
    return std::make_shared<RZRCTRCodeMapping>(url);
}
