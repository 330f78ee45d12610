// A UDP endpoint of either family, kept as the socket layer delivers it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quoril::platform {

inline constexpr std::uint16_t kAddressFamilyInet = 2;
// AF_INET6 as this system numbers it.
extern const std::uint16_t kAddressFamilyInet6;

// The room for a host's text: an IPv6 address (45 characters at most), '%', an interface
// name (at most 15 characters on Linux, a number on Windows), and the terminator.
inline constexpr std::size_t kHostTextSize = 64;
using HostText = std::array<char, kHostTextSize>;

// A sockaddr_in (16 bytes: the family, the port and the address in network byte order, then 8
// zero bytes) or a sockaddr_in6 (28 bytes: the family, the port, the flow label, the 16-byte
// address and the scope, the interface a link-local address belongs to).
struct SocketAddress {
  std::uint16_t family = kAddressFamilyInet;
  std::uint16_t port = 0;  // network byte order
  std::array<std::uint8_t, 24> rest{};

  static SocketAddress FromIPv4(std::uint32_t address, std::uint16_t port);
  // `address` the 16 bytes in network order; `scope` the interface index, 0 for none.
  static SocketAddress FromIPv6(std::span<const std::uint8_t, 16> address, std::uint32_t scope,
                                std::uint16_t port);

  bool IsIPv6() const { return family == kAddressFamilyInet6; }
  // The address without the port: 4 or 16 bytes in network order.
  std::span<const std::uint8_t> Host() const;
  // Network byte order; IPv4 only (0 for IPv6).
  std::uint32_t IPv4() const;
  // IPv6 only (0 for IPv4).
  std::uint32_t Scope() const;
  std::uint16_t Port() const;  // host byte order
  void SetPort(std::uint16_t hostOrder);
  // The bytes of the system's structure: 16 or 28.
  std::size_t Length() const { return IsIPv6() ? 28 : 16; }

  // Reads the system's structure at `native` (a sockaddr of any family). False, with nothing
  // read beyond the family and `address` the default, for a family other than IPv4 and IPv6.
  static bool FromNative(const void* native, SocketAddress& address);

  // The same endpoint: family, address, scope and port.
  friend bool operator==(const SocketAddress& a, const SocketAddress& b);
};
static_assert(sizeof(SocketAddress) == 28);

// The same host: family, address and scope, whatever the ports.
bool SameHost(const SocketAddress& a, const SocketAddress& b);

// The address without the port: dotted decimal for IPv4; for IPv6 the shortest form (RFC 5952),
// followed by '%' and the interface when it has a scope. Answers `text.data()`.
char* FormatHost(const SocketAddress& address, HostText& text);

// The system's reading of a numeric host: dotted decimal, or an IPv6 address without a scope.
// The result has port 0 and no scope; false for anything else.
bool ParseHost(std::string_view text, SocketAddress& address);

}  // namespace quoril::platform
