#pragma once
// Symbolication of one report before it is packaged: the return addresses
// of every thread in each crash file are resolved, demangled and written
// beside the file as "<name>.symbolicated". Every operation here runs
// synchronously in start, on the caller's thread; the record files read
// are never changed.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/operation/Operation.h"

class RZRCTRInternalReport;
class RZRCTRSymbolResolver;
class RZRStackFrame;

using RZRCTRThreadArray = std::vector<std::vector<std::shared_ptr<RZRStackFrame>>>;

class RZRCTRThreadArrayOperation : public NSOperation {
  public:
    explicit RZRCTRThreadArrayOperation(std::shared_ptr<RZRCTRThreadArray> threads)
        : threadArray_(std::move(threads)) {}
    std::string className() const override { return "RZRCTRThreadArrayOperation"; }
    // Every frame in order; a cancellation skips the rest of that thread.
    void enumerateFramesWithBlock(const std::function<void(RZRStackFrame& frame)>& block);
    const std::shared_ptr<RZRCTRThreadArray>& threadArray() const { return threadArray_; }

  private:
    std::shared_ptr<RZRCTRThreadArray> threadArray_;
};

class RZRCTRSymbolicationOperation : public RZRCTRThreadArrayOperation {
  public:
    RZRCTRSymbolicationOperation(std::shared_ptr<RZRCTRThreadArray> threads,
                                 std::shared_ptr<RZRCTRSymbolResolver> resolver)
        : RZRCTRThreadArrayOperation(std::move(threads)), symbolResolver_(std::move(resolver)) {}
    std::string className() const override { return "RZRCTRSymbolicationOperation"; }
    void main() override;

  private:
    std::shared_ptr<RZRCTRSymbolResolver> symbolResolver_;
};

class RZRCTRDemangleOperation : public RZRCTRThreadArrayOperation {
  public:
    using RZRCTRThreadArrayOperation::RZRCTRThreadArrayOperation;
    std::string className() const override { return "RZRCTRDemangleOperation"; }
    void main() override;

    // "_Z..." as C++, "__Z..._block_invoke..." as a block of a C++
    // function; anything else gives nothing.
    static std::optional<std::string> demangleSymbol(const char* symbol);
    static std::optional<std::string> demangleCppSymbol(const char* symbol);
    static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
};

class RZRCTRSerializeSymbolicatedFramesOperation : public RZRCTRThreadArrayOperation {
  public:
    RZRCTRSerializeSymbolicatedFramesOperation(std::shared_ptr<RZRCTRThreadArray> threads,
                                               std::string outputPath)
        : RZRCTRThreadArrayOperation(std::move(threads)), outputPath_(std::move(outputPath)) {}
    std::string className() const override { return "RZRCTRSerializeSymbolicatedFramesOperation"; }
    void main() override;

  private:
    std::string outputPath_;
};

class RZRCTRProcessReportOperation : public NSOperation {
  public:
    RZRCTRProcessReportOperation(std::shared_ptr<RZRCTRInternalReport> report,
                                 std::shared_ptr<RZRCTRSymbolResolver> resolver);
    std::string className() const override { return "RZRCTRProcessReportOperation"; }

    std::string binaryImagePath() const;
    // The first entry's threads, each a list of frames; nothing when the
    // file has no "threads" entry.
    static std::shared_ptr<RZRCTRThreadArray> threadArrayFromFile(const std::string& path);
    static bool symbolicateFile(const std::string& path,
                                const std::shared_ptr<RZRCTRSymbolResolver>& resolver);
    void main() override;

  private:
    std::shared_ptr<RZRCTRInternalReport> report_;
    std::shared_ptr<RZRCTRSymbolResolver> symbolResolver_;
};
