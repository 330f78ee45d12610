#include "platform/stream_sockets.h"

#include "platform/win32/windows_headers.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <array>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

namespace {

// Waits until `s` is readable (or, with `write`, writable); WAIT_TIMEOUT when the time passed
// first.
Win32Error WaitFor(SOCKET s, bool write, std::uint32_t timeoutMilliseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit = Timeval(timeoutMilliseconds);
  const int ready = ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &limit);
  if (ready == SOCKET_ERROR) return LastSocketError();
  return ready == 0 ? WAIT_TIMEOUT : ERROR_SUCCESS;
}

}  // namespace

void StreamConnection::Close() {
  if (handle_ >= 0) ::closesocket(AsSocket(handle_));
  handle_ = -1;
}

Win32Error StreamConnection::ReceiveWithin(std::uint32_t timeoutMilliseconds,
                                           std::span<std::uint8_t> buffer, std::size_t& received) {
  received = 0;
  const SOCKET s = AsSocket(handle_);
  if (const Win32Error error = WaitFor(s, false, timeoutMilliseconds); error != ERROR_SUCCESS) {
    return error;
  }
  const int count =
      ::recv(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
  if (count == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return WAIT_TIMEOUT;
  if (count == SOCKET_ERROR) return LastSocketError();
  received = static_cast<std::size_t>(count);
  return ERROR_SUCCESS;
}

Win32Error StreamConnection::SendWithin(std::uint32_t timeoutMilliseconds,
                                        std::span<const std::uint8_t> bytes, std::size_t& sent) {
  sent = 0;
  const SOCKET s = AsSocket(handle_);
  if (const Win32Error error = WaitFor(s, true, timeoutMilliseconds); error != ERROR_SUCCESS) {
    return error;
  }
  const int count =
      ::send(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
  if (count == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return ERROR_SUCCESS;
  if (count == SOCKET_ERROR) return LastSocketError();
  sent = static_cast<std::size_t>(count);
  return ERROR_SUCCESS;
}

Win32Error StreamListener::Open(const SocketAddress& local, int backlog) {
  Close();
  const SOCKET s = ::socket(local.IsIPv6() ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return LastSocketError();
  // Nobody else may bind the same address and port while the endpoint holds it.
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&local), static_cast<int>(local.Length())) ==
          SOCKET_ERROR ||
      ::listen(s, backlog) == SOCKET_ERROR) {
    const Win32Error error = LastSocketError();
    ::closesocket(s);
    return error;
  }
  handle_ = static_cast<std::intptr_t>(s);
  return ERROR_SUCCESS;
}

void StreamListener::Close() {
  if (handle_ >= 0) ::closesocket(AsSocket(handle_));
  handle_ = -1;
}

Win32Error StreamListener::AcceptWithin(std::uint32_t timeoutMilliseconds,
                                        StreamConnection& connection) {
  const SOCKET s = AsSocket(handle_);
  if (const Win32Error error = WaitFor(s, false, timeoutMilliseconds); error != ERROR_SUCCESS) {
    return error;
  }
  const SOCKET accepted = ::accept(s, nullptr, nullptr);
  if (accepted == INVALID_SOCKET) {
    const Win32Error error = LastSocketError();
    return error == WSAECONNRESET || error == WSAEWOULDBLOCK ? WAIT_TIMEOUT : error;
  }
  // Never blocking: a peer that reads nothing cannot hold the endpoint past its time.
  u_long nonBlocking = 1;
  ::ioctlsocket(accepted, FIONBIO, &nonBlocking);
  connection = StreamConnection(static_cast<std::intptr_t>(accepted));
  return ERROR_SUCCESS;
}

Win32Error WaitForStreams(const StreamListener& listener,
                          std::span<const StreamConnection* const> connections,
                          std::uint32_t timeoutMilliseconds, std::span<bool> ready,
                          bool& listenerReady) {
  static_assert(FD_SETSIZE > kMaxWatchedStreams);
  fd_set set;
  FD_ZERO(&set);
  FD_SET(AsSocket(listener.Handle()), &set);
  for (std::size_t k = 0; k < connections.size() && k < kMaxWatchedStreams; ++k) {
    if (connections[k] != nullptr && connections[k]->IsOpen()) {
      FD_SET(AsSocket(connections[k]->Handle()), &set);
    }
  }
  std::fill(ready.begin(), ready.end(), false);
  listenerReady = false;
  timeval limit = Timeval(timeoutMilliseconds);
  const int found = ::select(0, &set, nullptr, nullptr, &limit);
  if (found == SOCKET_ERROR) return LastSocketError();
  if (found == 0) return WAIT_TIMEOUT;
  listenerReady = FD_ISSET(AsSocket(listener.Handle()), &set) != 0;
  for (std::size_t k = 0; k < connections.size() && k < ready.size(); ++k) {
    if (connections[k] != nullptr && connections[k]->IsOpen() &&
        FD_ISSET(AsSocket(connections[k]->Handle()), &set)) {
      ready[k] = true;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
