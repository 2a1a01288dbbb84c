#include "services/crash/RZRCTRSymbolResolver.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRSymbolTable.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/crash/RZRStackFrame.h"

bool RZRCTRSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
    if (path.empty()) return false;
    auto entries = RZRCTRInternalReport::readRZRCTRFileAtPath(path);
    if (!entries) {
        RZRCTRErrorLog("Failed to read binary image file %@", path);
        return false;
    }
    binaryImages_.clear();
    for (const auto& entry : *entries) {
        const Value& load = entry["load"];
        if (!load.isDictionary() || !load["base"].asUInt() || !load["size"].asUInt()) continue;
        binaryImages_.push_back(load);
    }
    std::stable_sort(binaryImages_.begin(), binaryImages_.end(),
                     [](const Value& a, const Value& b) {
                         return a["base"].asUInt().value_or(0) < b["base"].asUInt().value_or(0);
                     });
    return true;
}

std::optional<Dictionary> RZRCTRSymbolResolver::loadedBinaryImageForPC(
    std::uint64_t address) const {
    for (const auto& image : binaryImages_) {
        const auto base = image["base"].asUInt().value_or(0);
        const auto size = image["size"].asUInt().value_or(0);
        if (address >= base && address - base < size) return *image.asDictionary();
    }
    return std::nullopt;
}

bool RZRCTRSymbolResolver::fillInImageDetails(ImageDetails* details,
                                              const std::string& uuid) const {
    if (details == nullptr || uuid.empty()) return false;
    RZRCTRBinaryImageDetails loaded;
    if (!RZRCTRBinaryImageFindImageForUUID(uuid.c_str(), &loaded)) return false;
    details->base = loaded.node.baseAddress;
    details->slide = loaded.vmaddr_slide;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(loaded.node.baseAddress), &info) != 0 &&
        info.dli_fname != nullptr && *info.dli_fname != '\0') {
        details->path = info.dli_fname;
    }
    return true;
}

std::optional<RZRCTRSymbolResolver::Found> RZRCTRSymbolResolver::lookUp(std::uint64_t address,
                                                                        const ImageDetails& image) {
    auto [it, inserted] = tables_.try_emplace(image.path);
    if (inserted) it->second = RZRCTRSymbolTable::tableForFile(image.path);
    if (it->second) {
        if (auto symbol = it->second->symbolForAddress(address - image.slide)) {
            return Found{symbol->name, symbol->start + image.slide};
        }
    }
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(address), &info) == 0 || info.dli_saddr == nullptr ||
        info.dli_sname == nullptr) {
        return std::nullopt;
    }
    return Found{info.dli_sname, reinterpret_cast<std::uintptr_t>(info.dli_saddr)};
}

bool RZRCTRSymbolResolver::updateStackFrame(RZRStackFrame& frame, bool isReturnAddress) {
    const std::uint64_t address = frame.address;
    if (address == 0) return false;
    const auto image = loadedBinaryImageForPC(address);
    if (!image) return false;
    const auto uuid = (*image)["uuid"].asString();
    ImageDetails details;
    if (!uuid || !fillInImageDetails(&details, *uuid)) return false;
    const auto recordedBase = (*image)["base"].asUInt().value_or(0);
    if (details.path.empty()) details.path = (*image)["path"].asString().value_or("");
    const std::uint64_t rebased = address - recordedBase + details.base;

    auto found = lookUp(rebased, details);
    if (!found) return false;
    // A return address right at a function's start belongs to the call at
    // the end of the function before it.
    if (isReturnAddress && found->start == rebased) {
        found = lookUp(rebased - 2, details);
        if (!found) return false;
    }
    frame.symbol = found->name;
    frame.rawSymbol = found->name;
    if (rebased > found->start) frame.offset = rebased - found->start;
    if (auto path = (*image)["path"].asString()) {
        frame.library = std::filesystem::path(*path).filename().string();
    }
    return true;
}

std::shared_ptr<RZRStackFrame> RZRCTRSymbolResolver::frameForAddress(std::uint64_t address) {
    auto frame = RZRStackFrame::stackFrameWithAddress(address);
    return updateStackFrame(*frame) ? frame : nullptr;
}
