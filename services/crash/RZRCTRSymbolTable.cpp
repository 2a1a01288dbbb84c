#include "services/crash/RZRCTRSymbolTable.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>

namespace {

// One open ELF file: the descriptor and libelf's handle, closed together.
class ElfFile {
  public:
    explicit ElfFile(const std::string& path) {
        if (elf_version(EV_CURRENT) == EV_NONE) return;
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return;
        elf_ = elf_begin(fd_, ELF_C_READ, nullptr);
    }
    ~ElfFile() {
        if (elf_ != nullptr) elf_end(elf_);
        if (fd_ >= 0) ::close(fd_);
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;

    Elf* get() const { return elf_ != nullptr && elf_kind(elf_) == ELF_K_ELF ? elf_ : nullptr; }

  private:
    int fd_ = -1;
    Elf* elf_ = nullptr;
};

std::vector<RZRCTRSymbol> functionSymbols(Elf* elf, Elf64_Word sectionType) {
    std::vector<RZRCTRSymbol> symbols;
    for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
         section = elf_nextscn(elf, section)) {
        GElf_Shdr header;
        if (gelf_getshdr(section, &header) == nullptr || header.sh_type != sectionType) continue;
        if (header.sh_entsize == 0) continue;
        Elf_Data* data = elf_getdata(section, nullptr);
        if (data == nullptr) continue;
        const std::size_t count = header.sh_size / header.sh_entsize;
        for (std::size_t i = 0; i < count; ++i) {
            GElf_Sym symbol;
            if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) continue;
            if (GELF_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_value == 0 ||
                symbol.st_shndx == SHN_UNDEF)
                continue;
            const char* name = elf_strptr(elf, header.sh_link, symbol.st_name);
            if (name == nullptr || *name == '\0') continue;
            symbols.push_back({name, symbol.st_value});
        }
    }
    return symbols;
}

}  // namespace

std::shared_ptr<const RZRCTRSymbolTable> RZRCTRSymbolTable::tableForFile(const std::string& path) {
    if (path.empty()) return nullptr;
    ElfFile file(path);
    Elf* elf = file.get();
    if (elf == nullptr) return nullptr;
    auto symbols = functionSymbols(elf, SHT_SYMTAB);
    if (symbols.empty()) symbols = functionSymbols(elf, SHT_DYNSYM);
    if (symbols.empty()) return nullptr;
    std::stable_sort(
        symbols.begin(), symbols.end(),
        [](const RZRCTRSymbol& a, const RZRCTRSymbol& b) { return a.start < b.start; });
    auto table = std::make_shared<RZRCTRSymbolTable>();
    table->symbols_ = std::move(symbols);
    return table;
}

std::optional<RZRCTRSymbol> RZRCTRSymbolTable::symbolForAddress(std::uint64_t address) const {
    auto it = std::upper_bound(
        symbols_.begin(), symbols_.end(), address,
        [](std::uint64_t value, const RZRCTRSymbol& symbol) { return value < symbol.start; });
    if (it == symbols_.begin()) return std::nullopt;
    return *std::prev(it);
}
