#include "platform/stream_sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/posix/error_mapping.h"

namespace quoril::platform {

namespace {

// Waits for `events` on `fd`; WAIT_TIMEOUT when the time passed first.
Win32Error WaitFor(int fd, short events, std::uint32_t timeoutMilliseconds) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, static_cast<int>(timeoutMilliseconds));
    if (ready > 0) return ERROR_SUCCESS;
    if (ready == 0) return WAIT_TIMEOUT;
    if (errno != EINTR) return WsaErrorFromErrno(errno);
  }
}

}  // namespace

void StreamConnection::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

Win32Error StreamConnection::ReceiveWithin(std::uint32_t timeoutMilliseconds,
                                           std::span<std::uint8_t> buffer, std::size_t& received) {
  received = 0;
  const int fd = static_cast<int>(handle_);
  if (const Win32Error error = WaitFor(fd, POLLIN, timeoutMilliseconds); error != ERROR_SUCCESS) {
    return error;
  }
  const ssize_t count = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (count < 0) return errno == EAGAIN ? WAIT_TIMEOUT : WsaErrorFromErrno(errno);
  received = static_cast<std::size_t>(count);
  return ERROR_SUCCESS;
}

Win32Error StreamConnection::SendWithin(std::uint32_t timeoutMilliseconds,
                                        std::span<const std::uint8_t> bytes, std::size_t& sent) {
  sent = 0;
  const int fd = static_cast<int>(handle_);
  if (const Win32Error error = WaitFor(fd, POLLOUT, timeoutMilliseconds); error != ERROR_SUCCESS) {
    return error;
  }
  const ssize_t count = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (count < 0 && errno != EAGAIN && errno != EINTR) return WsaErrorFromErrno(errno);
  if (count > 0) sent = static_cast<std::size_t>(count);
  return ERROR_SUCCESS;
}

Win32Error StreamListener::Open(const SocketAddress& local, int backlog) {
  Close();
  const int fd = ::socket(local.IsIPv6() ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return WsaErrorFromErrno(errno);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // The address given and no other: an IPv6 endpoint takes no IPv4 connections.
  if (local.IsIPv6()) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local),
             static_cast<socklen_t>(local.Length())) != 0 ||
      ::listen(fd, backlog) != 0) {
    const Win32Error error = WsaErrorFromErrno(errno);
    ::close(fd);
    return error;
  }
  handle_ = fd;
  return ERROR_SUCCESS;
}

void StreamListener::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

Win32Error StreamListener::AcceptWithin(std::uint32_t timeoutMilliseconds,
                                        StreamConnection& connection) {
  const int fd = static_cast<int>(handle_);
  if (const Win32Error error = WaitFor(fd, POLLIN, timeoutMilliseconds); error != ERROR_SUCCESS) {
    return error;
  }
  const int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (accepted < 0) {
    // The peer gave up between the wait and the accept: nothing to take.
    return errno == EAGAIN || errno == ECONNABORTED || errno == EINTR ? WAIT_TIMEOUT
                                                                      : WsaErrorFromErrno(errno);
  }
  connection = StreamConnection(accepted);
  return ERROR_SUCCESS;
}

Win32Error WaitForStreams(const StreamListener& listener,
                          std::span<const StreamConnection* const> connections,
                          std::uint32_t timeoutMilliseconds, std::span<bool> ready,
                          bool& listenerReady) {
  std::array<pollfd, kMaxWatchedStreams + 1> entries{};
  std::array<std::size_t, kMaxWatchedStreams + 1> owner{};
  std::size_t count = 0;
  entries[count++] = pollfd{static_cast<int>(listener.Handle()), POLLIN, 0};
  for (std::size_t k = 0; k < connections.size() && count < entries.size(); ++k) {
    if (connections[k] == nullptr || !connections[k]->IsOpen()) continue;
    owner[count] = k;
    entries[count++] = pollfd{static_cast<int>(connections[k]->Handle()), POLLIN, 0};
  }
  std::fill(ready.begin(), ready.end(), false);
  listenerReady = false;
  const int found = ::poll(entries.data(), count, static_cast<int>(timeoutMilliseconds));
  if (found < 0) return errno == EINTR ? WAIT_TIMEOUT : WsaErrorFromErrno(errno);
  if (found == 0) return WAIT_TIMEOUT;
  listenerReady = entries[0].revents != 0;
  for (std::size_t e = 1; e < count; ++e) {
    if (entries[e].revents != 0 && owner[e] < ready.size()) ready[owner[e]] = true;
  }
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
