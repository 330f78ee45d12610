// TCP, as much as a small HTTP endpoint needs: a listening socket, accepted connections,
// waits with a timeout, and the text form of an address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "platform/socket_address.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// "ADDRESS:PORT" or "[IPV6]:PORT" (a numeric address, a port of 1 to 65535) into `address`.
// ERROR_INVALID_PARAMETER for anything else.
Win32Error ParseEndpoint(std::string_view text, SocketAddress& address);

// A connection accepted by a StreamListener. Closed on destruction; move-only.
class StreamConnection {
 public:
  StreamConnection() = default;
  explicit StreamConnection(std::intptr_t handle) : handle_(handle) {}
  ~StreamConnection() { Close(); }
  StreamConnection(StreamConnection&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
  StreamConnection& operator=(StreamConnection&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
  }
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  bool IsOpen() const { return handle_ >= 0; }
  std::intptr_t Handle() const { return handle_; }
  void Close();
  // Waits at most `timeoutMilliseconds` for bytes and reads what came, at most buffer.size();
  // `received` 0 with ERROR_SUCCESS: the peer closed. WAIT_TIMEOUT when nothing came.
  Win32Error ReceiveWithin(std::uint32_t timeoutMilliseconds, std::span<std::uint8_t> buffer,
                           std::size_t& received);
  // Sends all of `bytes`, waiting at most `timeoutMilliseconds` in all; WAIT_TIMEOUT otherwise.
  Win32Error SendAll(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMilliseconds);

 private:
  // Waits at most `timeoutMilliseconds` until bytes can be sent and sends what the socket
  // takes of `bytes`: `sent` may be 0.
  Win32Error SendWithin(std::uint32_t timeoutMilliseconds, std::span<const std::uint8_t> bytes,
                        std::size_t& sent);

  std::intptr_t handle_ = -1;
};

// A TCP socket listening at one address. Closed on destruction.
class StreamListener {
 public:
  StreamListener() = default;
  ~StreamListener() { Close(); }
  StreamListener(const StreamListener&) = delete;
  StreamListener& operator=(const StreamListener&) = delete;

  // Binds `local` (no other address) and listens with a backlog of `backlog`.
  Win32Error Open(const SocketAddress& local, int backlog);
  bool IsOpen() const { return handle_ >= 0; }
  void Close();
  // Waits at most `timeoutMilliseconds` for a connection and accepts it; WAIT_TIMEOUT when
  // none came.
  Win32Error AcceptWithin(std::uint32_t timeoutMilliseconds, StreamConnection& connection);
  std::intptr_t Handle() const { return handle_; }

 private:
  std::intptr_t handle_ = -1;
};

// The most connections that one WaitForStreams watches beside its listener.
inline constexpr std::size_t kMaxWatchedStreams = 32;

// Waits at most `timeoutMilliseconds` until the listener has a connection to accept or one of
// `connections` (closed ones are passed over) has bytes or its end to read. `ready[k]` tells
// for connections[k], `listenerReady` for the listener; WAIT_TIMEOUT when none is.
Win32Error WaitForStreams(const StreamListener& listener,
                          std::span<const StreamConnection* const> connections,
                          std::uint32_t timeoutMilliseconds, std::span<bool> ready,
                          bool& listenerReady);

}  // namespace quoril::platform
