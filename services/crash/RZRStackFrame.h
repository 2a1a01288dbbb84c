#pragma once
// One frame of a custom exception's stack trace, as the application gives
// it to the crash reporter.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

class RZRStackFrame : public NSObject {
  public:
    // Symbolicated: symbol, file name and line.
    static std::shared_ptr<RZRStackFrame> stackFrameWithSymbol(const std::string& symbol,
                                                               const std::string& file,
                                                               std::uint32_t line);
    // Empty frame: everything zero or absent.
    static std::shared_ptr<RZRStackFrame> stackFrame();
    static std::shared_ptr<RZRStackFrame> stackFrameWithAddress(std::uint64_t address);
    // Symbol and raw symbol set, not symbolicated.
    static std::shared_ptr<RZRStackFrame> stackFrameWithSymbol(const std::string& symbol);

    RZRStackFrame() = default;
    RZRStackFrame(const std::string& symbol, const std::string& file, std::uint32_t line);

    std::string className() const override { return "RZRStackFrame"; }
    std::string description() const override;

    bool isSymbolicated = false;
    std::uint32_t lineNumber = 0;
    std::optional<std::string> symbol;
    std::optional<std::string> rawSymbol;
    std::optional<std::string> library;
    std::optional<std::string> fileName;
    std::uint64_t offset = 0;
    std::uint64_t address = 0;
};
