// Reads the symbols a shared object defines in its dynamic symbol table, straight from
// the file, for the same word size as the test itself.
#ifndef MONTAGE_TESTS_ELF_SYMBOLS_H
#define MONTAGE_TESTS_ELF_SYMBOLS_H

#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

// Names of the global and weak symbols that `path` defines in .dynsym, sorted.
inline std::vector<std::string> ExportedSymbols(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto read = [&image](std::size_t offset, auto& value) {
    if (offset > image.size() || image.size() - offset < sizeof value) throw std::runtime_error("truncated ELF file");
    std::memcpy(&value, image.data() + offset, sizeof value);
  };
  ElfW(Ehdr) header{};
  read(0, header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) throw std::runtime_error(path + " is not an ELF file");

  std::vector<ElfW(Shdr)> sections(header.e_shnum);
  for (std::size_t i = 0; i < sections.size(); ++i) read(header.e_shoff + i * header.e_shentsize, sections[i]);

  std::vector<std::string> names;
  for (const ElfW(Shdr) & section : sections) {
    if (section.sh_type != SHT_DYNSYM) continue;
    const ElfW(Shdr)& strings = sections.at(section.sh_link);
    for (std::size_t offset = 0; offset + sizeof(ElfW(Sym)) <= section.sh_size; offset += sizeof(ElfW(Sym))) {
      ElfW(Sym) symbol{};
      read(section.sh_offset + offset, symbol);
      const unsigned binding = ELF64_ST_BIND(symbol.st_info);
      if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
      if (symbol.st_name >= strings.sh_size) throw std::runtime_error("bad symbol name offset");
      names.emplace_back(image.data() + strings.sh_offset + symbol.st_name);
    }
  }
  std::ranges::sort(names);
  return names;
}

#endif  // MONTAGE_TESTS_ELF_SYMBOLS_H
