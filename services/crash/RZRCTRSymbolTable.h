#pragma once
// The function symbols of one ELF file (its full symbol table, else its
// dynamic one), read once through libelf and kept sorted for lookups.
// Ordinary threads only; immutable once built.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct RZRCTRSymbol {
    std::string name;
    // The symbol's address as the file states it (before the load bias).
    std::uint64_t start = 0;
};

class RZRCTRSymbolTable {
  public:
    // Null when the file cannot be read as ELF or has no function symbols.
    static std::shared_ptr<const RZRCTRSymbolTable> tableForFile(const std::string& path);

    // The function symbol at or nearest below the address (an address as
    // the file states it).
    std::optional<RZRCTRSymbol> symbolForAddress(std::uint64_t address) const;
    std::size_t count() const { return symbols_.size(); }

  private:
    std::vector<RZRCTRSymbol> symbols_;
};
