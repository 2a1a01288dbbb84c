#include "services/crash/RZRStackFrame.h"

#include <cinttypes>
#include <cstdio>

namespace {

// How an absent string object prints in a description.
std::string described(const std::optional<std::string>& text) {
    return text ? *text : "(null)";
}

std::string hex(std::uint64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%" PRIx64, value);
    return buffer;
}

}  // namespace

RZRStackFrame::RZRStackFrame(const std::string& symbol, const std::string& file, std::uint32_t line)
    : isSymbolicated(true), lineNumber(line), symbol(symbol), fileName(file) {}

std::shared_ptr<RZRStackFrame> RZRStackFrame::stackFrameWithSymbol(const std::string& symbol,
                                                                   const std::string& file,
                                                                   std::uint32_t line) {
    return std::make_shared<RZRStackFrame>(symbol, file, line);
}

std::shared_ptr<RZRStackFrame> RZRStackFrame::stackFrame() {
    return std::make_shared<RZRStackFrame>();
}

std::shared_ptr<RZRStackFrame> RZRStackFrame::stackFrameWithAddress(std::uint64_t address) {
    auto frame = stackFrame();
    frame->address = address;
    return frame;
}

std::shared_ptr<RZRStackFrame> RZRStackFrame::stackFrameWithSymbol(const std::string& symbol) {
    auto frame = stackFrame();
    frame->symbol = symbol;
    frame->rawSymbol = symbol;
    return frame;
}

std::string RZRStackFrame::description() const {
    if (isSymbolicated) {
        return "{" + described(fileName) + " - " + described(symbol) + ":" +
               std::to_string(lineNumber) + "}";
    }
    if (!fileName) {
        return "{[0x" + hex(address) + " + " + std::to_string(lineNumber) + "] " +
               described(symbol) + "}";
    }
    return "{[0x" + hex(address) + "] " + described(fileName) + " - " + described(symbol) + ":" +
           std::to_string(lineNumber) + "}";
}
