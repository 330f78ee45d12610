#include "platform/socket_address.h"

// AF_INET6 and inet_pton, as both backends' headers offer them.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "platform/network_interfaces.h"

namespace quoril::platform {

const std::uint16_t kAddressFamilyInet6 = AF_INET6;

namespace {

constexpr std::size_t kIPv4Offset = 0;  // within `rest`
constexpr std::size_t kIPv6Offset = 4;  // after the flow label
constexpr std::size_t kScopeOffset = 20;

std::uint16_t Swap16(std::uint16_t value) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

SocketAddress SocketAddress::FromIPv4(std::uint32_t address, std::uint16_t port) {
  SocketAddress result;
  result.family = kAddressFamilyInet;
  result.SetPort(port);
  std::memcpy(result.rest.data() + kIPv4Offset, &address, sizeof address);
  return result;
}

SocketAddress SocketAddress::FromIPv6(std::span<const std::uint8_t, 16> address,
                                      std::uint32_t scope, std::uint16_t port) {
  SocketAddress result;
  result.family = kAddressFamilyInet6;
  result.SetPort(port);
  std::memcpy(result.rest.data() + kIPv6Offset, address.data(), address.size());
  std::memcpy(result.rest.data() + kScopeOffset, &scope, sizeof scope);
  return result;
}

bool SocketAddress::FromNative(const void* native, SocketAddress& address) {
  std::uint16_t family = 0;
  std::memcpy(&family, native, sizeof family);
  address = SocketAddress{};
  if (family != kAddressFamilyInet && family != kAddressFamilyInet6) return false;
  // Trivially copyable: the bytes are the structure.
  std::memcpy(static_cast<void*>(&address), native, family == kAddressFamilyInet6 ? 28 : 16);
  return true;
}

std::span<const std::uint8_t> SocketAddress::Host() const {
  if (IsIPv6()) return std::span(rest).subspan(kIPv6Offset, 16);
  return std::span(rest).subspan(kIPv4Offset, 4);
}

std::uint32_t SocketAddress::IPv4() const {
  std::uint32_t address = 0;
  if (!IsIPv6()) std::memcpy(&address, rest.data() + kIPv4Offset, sizeof address);
  return address;
}

std::uint32_t SocketAddress::Scope() const {
  std::uint32_t scope = 0;
  if (IsIPv6()) std::memcpy(&scope, rest.data() + kScopeOffset, sizeof scope);
  return scope;
}

std::uint16_t SocketAddress::Port() const {
  return Swap16(port);
}

void SocketAddress::SetPort(std::uint16_t hostOrder) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(hostOrder >> 8),
                                 static_cast<std::uint8_t>(hostOrder)};
  std::memcpy(&port, bytes, sizeof port);
}

bool SameHost(const SocketAddress& a, const SocketAddress& b) {
  if (a.family != b.family || a.Scope() != b.Scope()) return false;
  const auto hostA = a.Host();
  const auto hostB = b.Host();
  return std::memcmp(hostA.data(), hostB.data(), hostA.size()) == 0;
}

bool operator==(const SocketAddress& a, const SocketAddress& b) {
  return a.port == b.port && SameHost(a, b);
}

char* FormatHost(const SocketAddress& address, HostText& text) {
  const auto host = address.Host();
  std::size_t used = 0;
  // Appends what fits; the text is always terminated.
  auto append = [&](const char* piece) {
    for (; *piece != '\0' && used + 1 < text.size(); ++piece) text[used++] = *piece;
    text[used] = '\0';
  };
  char piece[24];
  if (!address.IsIPv6()) {
    std::snprintf(piece, sizeof piece, "%u.%u.%u.%u", host[0], host[1], host[2], host[3]);
    append(piece);
    return text.data();
  }
  std::uint16_t groups[8];
  for (int k = 0; k < 8; ++k) {
    groups[k] = static_cast<std::uint16_t>(host[2 * k] << 8 | host[2 * k + 1]);
  }
  // The longest run of two or more zero groups, the first of equal ones, becomes "::".
  int runStart = -1;
  int runLength = 1;
  for (int k = 0; k < 8;) {
    int end = k;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - k > runLength) {
      runStart = k;
      runLength = end - k;
    }
    k = end == k ? k + 1 : end;
  }
  // An IPv4-mapped address keeps its IPv4 form at the end (::ffff:192.0.2.1).
  const bool mapped = runStart == 0 && runLength == 5 && groups[5] == 0xFFFF;
  const int shown = mapped ? 6 : 8;
  text[0] = '\0';
  for (int k = 0; k < shown; ++k) {
    if (k == runStart) {
      append("::");
      k += runLength - 1;
      continue;
    }
    const bool afterRun = runStart >= 0 && k == runStart + runLength;
    std::snprintf(piece, sizeof piece, k == 0 || afterRun ? "%x" : ":%x", groups[k]);
    append(piece);
  }
  if (mapped) {
    std::snprintf(piece, sizeof piece, ":%u.%u.%u.%u", host[12], host[13], host[14], host[15]);
    append(piece);
  }
  if (address.Scope() != 0) {
    InterfaceNameText name{};
    if (GetInterfaceName(address.Scope(), name) == ERROR_SUCCESS) {
      append("%");
      append(name.data());
    } else {
      std::snprintf(piece, sizeof piece, "%%%u", address.Scope());
      append(piece);
    }
  }
  return text.data();
}

bool ParseHost(std::string_view text, SocketAddress& address) {
  std::array<char, kHostTextSize> terminated{};
  if (text.size() >= terminated.size()) return false;
  std::ranges::copy(text, terminated.begin());
  std::array<std::uint8_t, 16> bytes{};
  if (::inet_pton(AF_INET6, terminated.data(), bytes.data()) == 1) {
    address = SocketAddress::FromIPv6(bytes, 0, 0);
    return true;
  }
  in_addr inet{};
  if (::inet_pton(AF_INET, terminated.data(), &inet) != 1) return false;
  address = SocketAddress::FromIPv4(inet.s_addr, 0);
  return true;
}

}  // namespace quoril::platform
