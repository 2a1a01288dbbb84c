#include "services/crash/RZRCTRUtilities.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "platform/dispatch/DispatchQueue.h"
#include "services/core/RZRLogger.h"
#include "services/crash/RZRCTRByteUtilities.h"

void RZRCTRServiceLog(ZVULoggerLevel level, const std::string& format,
                      const std::vector<ZVUFormatArg>* args) {
    RZRLogBasic(level, kRZRCTRServiceName, kRZRCTRMessageCode, format, args);
}

std::uint64_t RZRCTRProfileStart() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

double RZRCTRProfileEnd(std::uint64_t mark) {
    return static_cast<double>(RZRCTRProfileStart() - mark) / 1'000'000.0;
}

void RZRCTRProfileBlock(const char* label, const std::function<void()>& block) {
    const auto mark = RZRCTRProfileStart();
    if (block) block();
    std::fprintf(stderr, "[Profile] %s: %f ms\n", label ? label : "(null)", RZRCTRProfileEnd(mark));
}

std::string RZRCTRNormalizeUUID(const std::string& uuid) {
    std::string normalized;
    for (const char c : uuid) {
        if (c != '-')
            normalized.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return normalized;
}

std::string RZRCTRGenerateNormalizedUUID() {
    return RZRCTRNormalizeUUID(RZRCTRGenerateUUID());
}

void RZRCTRDladdrForPointer(
    const void* pointer, const std::function<void(const char* symbol, const char* path)>& block) {
    if (!block) return;
    Dl_info info{};
    if (::dladdr(pointer, &info) == 0) {
        block(nullptr, nullptr);
        return;
    }
    block(info.dli_sname ? info.dli_sname : "unknown", info.dli_fname ? info.dli_fname : "unknown");
}

void RZRCTRDispatchAfter(double seconds, const std::shared_ptr<DispatchQueue>& queue,
                         std::function<void()> block) {
    if (!queue || !block) return;
    queue->asyncAfter(sim::seconds(seconds), std::move(block));
}
