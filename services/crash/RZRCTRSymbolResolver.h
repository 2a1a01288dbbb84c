#pragma once
// Resolves return addresses recorded at crash time to symbols in the
// running process: the recorded image is matched by its identifier to the
// same image loaded now, the address is rebased, and the symbol is looked
// up in the image's symbol table (the dynamic loader's lookup when the file
// has none). One thread at a time.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class RZRStackFrame;
class RZRCTRSymbolTable;

class RZRCTRSymbolResolver : public NSObject {
  public:
    std::string className() const override { return "RZRCTRSymbolResolver"; }

    // The "load" entries with a base and size, sorted by base. False (and
    // logged) when the file gives no entries.
    bool loadBinaryImagesFromFile(const std::string& path);
    // The first image with base <= address < base + size.
    std::optional<Dictionary> loadedBinaryImageForPC(std::uint64_t address) const;
    // Where the image with this identifier is loaded now, and its file.
    struct ImageDetails {
        std::uint64_t base = 0;
        std::int64_t slide = 0;
        std::string path;
    };
    bool fillInImageDetails(ImageDetails* details, const std::string& uuid) const;
    // A return address right at a function's start is looked up 2 bytes
    // earlier; a thread's first frame is its program counter, not a return
    // address, and is taken as it is.
    bool updateStackFrame(RZRStackFrame& frame, bool isReturnAddress = true);
    std::shared_ptr<RZRStackFrame> frameForAddress(std::uint64_t address);

    const Array& binaryImages() const { return binaryImages_; }

  private:
    struct Found {
        std::string name;
        std::uint64_t start = 0;
    };
    std::optional<Found> lookUp(std::uint64_t address, const ImageDetails& image);

    Array binaryImages_;
    std::map<std::string, std::shared_ptr<const RZRCTRSymbolTable>> tables_;
};
