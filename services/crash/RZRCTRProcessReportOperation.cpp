#include "services/crash/RZRCTRProcessReportOperation.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>

#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRSymbolResolver.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/crash/RZRStackFrame.h"

void RZRCTRThreadArrayOperation::enumerateFramesWithBlock(
    const std::function<void(RZRStackFrame& frame)>& block) {
    if (!threadArray_) return;
    for (auto& thread : *threadArray_) {
        for (auto& frame : thread) {
            block(*frame);
            if (isCancelled()) break;
        }
    }
}

void RZRCTRSymbolicationOperation::main() {
    const auto& threads = threadArray();
    if (!threads) return;
    for (auto& thread : *threads) {
        // Only the frames after a thread's first are return addresses.
        for (std::size_t i = 0; i < thread.size(); ++i) {
            symbolResolver_->updateStackFrame(*thread[i], i > 0);
            if (isCancelled()) break;
        }
    }
}

std::optional<std::string> RZRCTRDemangleOperation::demangleSymbol(const char* symbol) {
    if (symbol == nullptr) return std::nullopt;
    if (std::strncmp(symbol, "_Z", 2) == 0) return demangleCppSymbol(symbol);
    if (std::strncmp(symbol, "__Z", 3) == 0) return demangleBlockInvokeCppSymbol(symbol);
    return std::nullopt;
}

std::optional<std::string> RZRCTRDemangleOperation::demangleCppSymbol(const char* symbol) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (demangled == nullptr || status != 0) {
        std::free(demangled);
        return std::nullopt;
    }
    std::string result(demangled);
    std::free(demangled);
    return result;
}

std::optional<std::string> RZRCTRDemangleOperation::demangleBlockInvokeCppSymbol(
    const char* symbol) {
    const std::string text(symbol);
    const auto marker = text.rfind("_block_invoke");
    if (marker == std::string::npos || marker < 5) return std::nullopt;
    const auto function = text.substr(1, marker - 1);
    auto demangled = demangleSymbol(function.c_str());
    if (!demangled) return std::nullopt;
    return *demangled + text.substr(marker);
}

void RZRCTRDemangleOperation::main() {
    enumerateFramesWithBlock([](RZRStackFrame& frame) {
        if (!frame.rawSymbol) return;
        if (auto demangled = demangleSymbol(frame.rawSymbol->c_str())) frame.symbol = *demangled;
    });
}

void RZRCTRSerializeSymbolicatedFramesOperation::main() {
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPath(&file, outputPath_.c_str(), true)) {
        RZRCTRErrorLog("Failed to create output file");
        return;
    }
    RZRCTRFileOpenSection(&file, "threads");
    RZRCTRFileOpenArray(&file);
    for (const auto& thread : threadArray() ? *threadArray() : RZRCTRThreadArray{}) {
        RZRCTRFileOpenArray(&file);
        for (const auto& frame : thread) {
            RZRCTRFileOpenHash(&file);
            RZRCTRFileWriteStringEntry(&file, "symbol",
                                       frame->symbol ? frame->symbol->c_str() : nullptr);
            if (frame->rawSymbol && frame->rawSymbol != frame->symbol) {
                RZRCTRFileWriteStringEntry(&file, "raw_symbol", frame->rawSymbol->c_str());
            }
            RZRCTRFileWriteUInt64Entry(&file, "offset", frame->offset);
            RZRCTRFileWriteStringEntry(&file, "library",
                                       frame->library ? frame->library->c_str() : nullptr);
            RZRCTRFileCloseHash(&file);
        }
        RZRCTRFileCloseArray(&file);
    }
    RZRCTRFileCloseArray(&file);
    RZRCTRFileCloseSection(&file);
    RZRCTRFileClose(&file);
}

RZRCTRProcessReportOperation::RZRCTRProcessReportOperation(
    std::shared_ptr<RZRCTRInternalReport> report, std::shared_ptr<RZRCTRSymbolResolver> resolver)
    : report_(std::move(report)), symbolResolver_(std::move(resolver)) {}

std::string RZRCTRProcessReportOperation::binaryImagePath() const {
    return report_->binaryImagePath();
}

std::shared_ptr<RZRCTRThreadArray> RZRCTRProcessReportOperation::threadArrayFromFile(
    const std::string& path) {
    auto entries = RZRCTRFileReadSections(path.c_str(), false, [](const Value& line) {
        const Value& threads = line["threads"];
        return threads.isNull() ? std::nullopt : std::optional<Value>(threads);
    });
    if (!entries || entries->empty()) return nullptr;
    auto threads = std::make_shared<RZRCTRThreadArray>();
    if (const Array* list = (*entries)[0].asArray()) {
        for (const auto& thread : *list) {
            std::vector<std::shared_ptr<RZRStackFrame>> frames;
            if (const Array* stack = thread["stacktrace"].asArray()) {
                for (const auto& address : *stack) {
                    frames.push_back(
                        RZRStackFrame::stackFrameWithAddress(address.asUInt().value_or(0)));
                }
            }
            threads->push_back(std::move(frames));
        }
    }
    return threads;
}

bool RZRCTRProcessReportOperation::symbolicateFile(
    const std::string& path, const std::shared_ptr<RZRCTRSymbolResolver>& resolver) {
    auto threads = threadArrayFromFile(path);
    if (!threads) return false;
    RZRCTRSymbolicationOperation symbolicate(threads, resolver);
    RZRCTRDemangleOperation demangle(threads);
    RZRCTRSerializeSymbolicatedFramesOperation serialize(threads, path + ".symbolicated");
    symbolicate.start();
    demangle.start();
    serialize.start();
    return true;
}

void RZRCTRProcessReportOperation::main() {
    if (!symbolResolver_->loadBinaryImagesFromFile(binaryImagePath())) return;
    report_->enumerateSymbolicatableFilesInContent(
        [this](const std::string& path) { symbolicateFile(path, symbolResolver_); });
}
