// The symbols a shared object defines, read from its ELF dynamic symbol table.
#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "montage/host.h"

namespace montage {

namespace fs = std::filesystem;

namespace {

struct Elf32 {
  using Ehdr = Elf32_Ehdr;
  using Shdr = Elf32_Shdr;
  using Sym = Elf32_Sym;
  static unsigned Binding(unsigned char info) { return ELF32_ST_BIND(info); }
};
struct Elf64 {
  using Ehdr = Elf64_Ehdr;
  using Shdr = Elf64_Shdr;
  using Sym = Elf64_Sym;
  static unsigned Binding(unsigned char info) { return ELF64_ST_BIND(info); }
};

template <class Elf>
std::vector<std::string> DynamicSymbols(const std::vector<char>& image, const fs::path& file) {
  auto read = [&](std::uint64_t offset, auto& value) {
    if (offset > image.size() || image.size() - offset < sizeof value) {
      throw HostError(file.string() + " is a truncated ELF file");
    }
    std::memcpy(&value, image.data() + offset, sizeof value);
  };
  typename Elf::Ehdr header{};
  read(0, header);
  std::vector<typename Elf::Shdr> sections(header.e_shnum);
  for (std::size_t i = 0; i < sections.size(); ++i) read(header.e_shoff + i * header.e_shentsize, sections[i]);
  std::vector<std::string> names;
  for (const auto& section : sections) {
    if (section.sh_type != SHT_DYNSYM) continue;
    if (section.sh_link >= sections.size()) throw HostError(file.string() + " has a bad symbol table");
    const auto& strings = sections[section.sh_link];
    for (std::uint64_t offset = 0; offset + sizeof(typename Elf::Sym) <= section.sh_size;
         offset += sizeof(typename Elf::Sym)) {
      typename Elf::Sym symbol{};
      read(section.sh_offset + offset, symbol);
      const unsigned binding = Elf::Binding(symbol.st_info);
      if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
      const std::uint64_t at = std::uint64_t{strings.sh_offset} + symbol.st_name;
      if (symbol.st_name >= strings.sh_size || at >= image.size()) {
        throw HostError(file.string() + " has a bad symbol name");
      }
      names.emplace_back(image.data() + at, ::strnlen(image.data() + at, image.size() - at));
    }
  }
  std::ranges::sort(names);
  return names;
}

}  // namespace

std::vector<std::string> ExportedSymbols(const fs::path& library) {
  std::ifstream file(library, std::ios::binary);
  if (!file) throw HostError("cannot read " + library.string());
  const std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
    throw HostError(library.string() + " is not an ELF file");
  }
  if (image[EI_CLASS] == ELFCLASS32) return DynamicSymbols<Elf32>(image, library);
  if (image[EI_CLASS] == ELFCLASS64) return DynamicSymbols<Elf64>(image, library);
  throw HostError(library.string() + " has an unknown ELF class");
}

}  // namespace montage
