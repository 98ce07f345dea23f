// Text from plug-ins made safe for terminals, UTF-8 and file names.
#include <cstdint>
#include <cstdio>

#include "montage/host.h"

namespace montage {

namespace {

// The length of the valid UTF-8 sequence at the start of `text` (1 to 4), or 0 when it
// does not start with one. Overlong forms, surrogates and values past U+10FFFF are not
// valid.
std::size_t Utf8Length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (byte(i) & 0x3Fu);
  }
  constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string PrintableText(std::string_view text) {
  std::string printable;
  while (!text.empty()) {
    const std::size_t length = Utf8Length(text);
    const auto first = static_cast<unsigned char>(text[0]);
    if (length == 0 || (length == 1 && (IsControl(first) || first == '\\'))) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, first == '\\' ? "\\\\" : "\\x%02X", first);
      printable += escaped;
      text.remove_prefix(1);
    } else {
      printable += text.substr(0, length);
      text.remove_prefix(length);
    }
  }
  return printable;
}

std::string ValidUtf8(std::string_view text) {
  std::string valid;
  while (!text.empty()) {
    const std::size_t length = Utf8Length(text);
    if (length == 0 || (length == 1 && IsControl(static_cast<unsigned char>(text[0])))) {
      valid += "\xEF\xBF\xBD";  // U+FFFD
      text.remove_prefix(1);
    } else {
      valid += text.substr(0, length);
      text.remove_prefix(length);
    }
  }
  return valid;
}

std::string SafeFileName(std::string_view text) {
  constexpr std::size_t kMaxLength = 100;
  std::string name;
  for (const char c : text) {
    const bool kept =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (name.empty() && c == '.') continue;  // no hidden file, no "." or ".."
    name += kept ? c : '_';
    if (name.size() == kMaxLength) break;
  }
  return name.empty() ? "template" : name;
}

}  // namespace montage
