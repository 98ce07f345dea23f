// Request checks of the studio: addresses, tokens, paths and ids.
#include "http_guard.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "montage/host.h"

namespace studio {

namespace {

bool IsLowerHex(std::string_view text, std::size_t length) {
  return text.size() == length &&
         std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// The 16 bytes of an IPv6 literal, or 4 of an IPv4 one; nothing else parses.
struct Address {
  bool v6 = false;
  std::array<unsigned char, 16> bytes{};
};

bool ParseAddress(std::string_view text, Address& address) {
  if (text.empty() || text.size() > 64) return false;
  const std::string copy(text);
  if (inet_pton(AF_INET, copy.c_str(), address.bytes.data()) == 1) {
    address.v6 = false;
    return true;
  }
  if (inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) == 1) {
    address.v6 = true;
    return true;
  }
  return false;
}

bool SameAddress(const Address& a, const Address& b) {
  return a.v6 == b.v6 && std::memcmp(a.bytes.data(), b.bytes.data(), a.v6 ? 16 : 4) == 0;
}

}  // namespace

std::string RandomHex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  std::size_t filled = 0;
  while (filled < bytes) {
    const ssize_t got = getrandom(raw.data() + filled, bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw montage::HostError(std::string("cannot read random bytes: ") + std::strerror(errno));
    filled += static_cast<std::size_t>(got);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes);
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

bool IsId(std::string_view text) { return IsLowerHex(text, 2 * kIdBytes); }

bool IsTemplateId(std::string_view text) { return IsLowerHex(text, 16); }

HostCheck::HostCheck(std::string_view address, int port) : port_(port) {
  Address parsed;
  if (!ParseAddress(address, parsed)) {
    throw montage::HostError("--listen " + std::string(address) +
                             ": give an IPv4 or IPv6 address such as 127.0.0.1 or ::1, not a name");
  }
  v6_ = parsed.v6;
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(v6_ ? AF_INET6 : AF_INET, parsed.bytes.data(), text, sizeof text);
  address_ = text;
  const std::array<unsigned char, 16> zero{};
  wildcard_ = std::memcmp(parsed.bytes.data(), zero.data(), v6_ ? 16 : 4) == 0;
  if (v6_) {
    std::array<unsigned char, 16> one{};
    one[15] = 1;
    loopback_ = parsed.bytes == one;
  } else {
    loopback_ = parsed.bytes[0] == 127;
  }
}

bool HostCheck::NameAllowed(std::string_view name) const {
  if (EqualsIgnoringCase(name, "localhost")) return loopback_ || wildcard_;
  std::string_view literal = name;
  const bool bracketed = literal.size() >= 2 && literal.front() == '[' && literal.back() == ']';
  if (bracketed) literal = literal.substr(1, literal.size() - 2);
  Address given;
  if (!ParseAddress(literal, given) || given.v6 != bracketed) return false;
  if (wildcard_) return true;
  Address own;
  ParseAddress(address_, own);
  return SameAddress(given, own);
}

bool HostCheck::Allows(std::string_view host) const {
  if (host.empty() || host.size() > 300) return false;
  std::string_view name = host;
  std::string_view port;
  const std::size_t close = host.rfind(']');
  const std::size_t colon = host.rfind(':');
  if (colon != std::string_view::npos && (close == std::string_view::npos || colon > close)) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  if (port.empty()) {
    if (port_ != 80 || host.back() == ':') return false;
  } else if (port != std::to_string(port_)) {
    return false;
  }
  return NameAllowed(name);
}

bool HostCheck::AllowsOrigin(std::string_view origin) const {
  constexpr std::string_view kScheme = "http://";
  return origin.starts_with(kScheme) && Allows(origin.substr(kScheme.size()));
}

std::string HostCheck::Url() const {
  std::string shown = address_;
  if (wildcard_) shown = v6_ ? "::1" : "127.0.0.1";
  if (v6_) shown = "[" + shown + "]";
  return "http://" + shown + ":" + std::to_string(port_) + "/";
}

bool IsCleanPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  if (path.find("..") != std::string_view::npos || path.find("//") != std::string_view::npos) return false;
  return std::ranges::none_of(path, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte >= 0x7F || c == '\\';
  });
}

bool IsStateChanging(std::string_view method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

bool SameToken(std::string_view expected, std::string_view given) {
  if (expected.empty()) return false;
  unsigned difference = expected.size() == given.size() ? 0u : 1u;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char g = i < given.size() ? given[i] : '\0';
    difference |= static_cast<unsigned char>(expected[i] ^ g);
  }
  return difference == 0;
}

}  // namespace studio
