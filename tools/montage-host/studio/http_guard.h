// What the studio checks on every request before it serves it. The studio is a program
// on a person's machine that any web page the person opens can try to reach, so:
//
//   - a request must name the studio's own address in its Host header, so that a page
//     whose domain was re-pointed at 127.0.0.1 (DNS rebinding) is not served;
//   - a request that changes anything (POST, PUT, PATCH, DELETE) must carry the token
//     the studio put into its page, which other pages cannot read (no CORS), and no
//     Origin header but the studio's own;
//   - a browser's cross-site request (Sec-Fetch-Site) is refused, except a plain
//     navigation to the page itself;
//   - no path may climb out of the routes (".."), hide behind a backslash or an empty
//     segment; every object a request names is an id the studio chose.
//
// Threads: everything here is a value or a pure function.
#ifndef MONTAGE_STUDIO_HTTP_GUARD_H
#define MONTAGE_STUDIO_HTTP_GUARD_H

#include <cstddef>
#include <string>
#include <string_view>

namespace studio {

// `bytes` random bytes from the kernel, as lowercase hex (twice as many digits).
std::string RandomHex(std::size_t bytes);

// Ids of sessions, uploads and renders: 32 lowercase hex digits (128 random bits).
inline constexpr std::size_t kIdBytes = 16;
[[nodiscard]] bool IsId(std::string_view text);
// Template ids: 16 lowercase hex digits (a hash of the library's path, not a secret).
[[nodiscard]] bool IsTemplateId(std::string_view text);

// The Host header values that name the address the studio listens on.
class HostCheck {
 public:
  // `address` is an IPv4 or IPv6 literal ("127.0.0.1", "::1", "0.0.0.0"); anything else
  // is a HostError.
  HostCheck(std::string_view address, int port);

  // Whether a request's Host header (host:port, [v6]:port) names this server: the
  // listening address, "localhost" for a loopback address, and for a wildcard address
  // (0.0.0.0, ::) any address literal, but never another name. The port must match;
  // it may be left out only when it is 80.
  [[nodiscard]] bool Allows(std::string_view host) const;
  // Whether an Origin header names this server ("http://" and an allowed host).
  [[nodiscard]] bool AllowsOrigin(std::string_view origin) const;
  // The address a person opens: http://127.0.0.1:PORT/ (the loopback address for a
  // wildcard).
  [[nodiscard]] std::string Url() const;
  [[nodiscard]] bool Loopback() const { return loopback_; }
  [[nodiscard]] bool Wildcard() const { return wildcard_; }

 private:
  bool NameAllowed(std::string_view name) const;

  std::string address_;  // canonical text of the literal
  bool v6_ = false;
  bool loopback_ = false;
  bool wildcard_ = false;
  int port_ = 0;
};

// Whether a decoded request path stays inside the routes: it starts with '/', holds no
// "..", no backslash, no "//", no control character and nothing outside ASCII.
[[nodiscard]] bool IsCleanPath(std::string_view path);

// POST, PUT, PATCH and DELETE: the methods that must carry the token.
[[nodiscard]] bool IsStateChanging(std::string_view method);

// Compares a token without stopping at the first difference, so that the time taken
// tells nothing about how much of a guess was right.
[[nodiscard]] bool SameToken(std::string_view expected, std::string_view given);

}  // namespace studio

#endif  // MONTAGE_STUDIO_HTTP_GUARD_H
