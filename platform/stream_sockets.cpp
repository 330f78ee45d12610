// What both backends share: the address text, and sending within a time.
#include <charconv>
#include <chrono>

#include "platform/stream_sockets.h"

namespace quoril::platform {

Win32Error ParseEndpoint(std::string_view text, SocketAddress& address) {
  std::string_view host;
  std::string_view port;
  bool ipv6 = false;
  if (text.starts_with('[')) {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) return ERROR_INVALID_PARAMETER;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    ipv6 = true;
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) return ERROR_INVALID_PARAMETER;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (host.empty() || port.empty() || error != std::errc() || end != port.data() + port.size() ||
      number == 0 || number > 65535) {
    return ERROR_INVALID_PARAMETER;
  }
  // Brackets hold an IPv6 address, and only they do.
  if (!ParseHost(host, address) || address.IsIPv6() != ipv6) return ERROR_INVALID_PARAMETER;
  address.SetPort(static_cast<std::uint16_t>(number));
  return ERROR_SUCCESS;
}

Win32Error StreamConnection::SendAll(std::span<const std::uint8_t> bytes,
                                     std::uint32_t timeoutMilliseconds) {
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  while (!bytes.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return WAIT_TIMEOUT;
    std::size_t sent = 0;
    const Win32Error error = SendWithin(static_cast<std::uint32_t>(left.count()), bytes, sent);
    if (error != ERROR_SUCCESS) return error;
    bytes = bytes.subspan(sent);
  }
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
