// Bytes of picture files for the tests and the fuzzers' seeds: reading and writing
// files whole, PNG chunks libpng would not write, PNG headers that declare any size,
// and EXIF blocks that hold an orientation.
#ifndef MONTAGE_SUPPORT_PICTURE_FILES_H
#define MONTAGE_SUPPORT_PICTURE_FILES_H

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

using Bytes = std::vector<unsigned char>;

inline Bytes ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes Big32(std::uint32_t value) {
  return {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
          static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

// A PNG chunk with its length and CRC.
inline Bytes PngChunk(const char* type, const Bytes& data) {
  // Sized at once: growing it with insert trips a false -Wstringop-overflow in GCC 12.
  Bytes chunk(12 + data.size());
  const Bytes length = Big32(static_cast<std::uint32_t>(data.size()));
  std::copy(length.begin(), length.end(), chunk.begin());
  std::copy(type, type + 4, chunk.begin() + 4);
  std::copy(data.begin(), data.end(), chunk.begin() + 8);
  const Bytes crc = Big32(static_cast<std::uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(4 + data.size()))));
  std::copy(crc.begin(), crc.end(), chunk.begin() + static_cast<std::ptrdiff_t>(8 + data.size()));
  return chunk;
}

// A PNG whose header declares `width` x `height` (RGB, 8 bits), then `idat` as its data.
inline Bytes DeclaredPng(std::uint32_t width, std::uint32_t height,
                         const Bytes& idat = {0x78, 0x9C, 0x03, 0, 0, 0, 0, 1}) {
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header = Big32(width);
  const Bytes h = Big32(height);
  header.insert(header.end(), h.begin(), h.end());
  header.insert(header.end(), {8, 2, 0, 0, 0});
  for (const Bytes& chunk : {PngChunk("IHDR", header), PngChunk("IDAT", idat), PngChunk("IEND", {})}) {
    file.insert(file.end(), chunk.begin(), chunk.end());
  }
  return file;
}

// An EXIF block (the body of a JPEG's APP1 marker) holding only an orientation, in
// either byte order; without its first six bytes it is the TIFF structure of a PNG's
// eXIf chunk.
inline Bytes ExifBlock(int orientation, bool bigEndian) {
  const auto o = static_cast<unsigned char>(orientation);
  Bytes block = {'E', 'x', 'i', 'f', 0, 0};
  const Bytes tiff =
      bigEndian ? Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, o, 0, 0, 0, 0, 0, 0}
                : Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, o, 0, 0, 0, 0, 0, 0, 0};
  block.insert(block.end(), tiff.begin(), tiff.end());
  return block;
}

#endif  // MONTAGE_SUPPORT_PICTURE_FILES_H
