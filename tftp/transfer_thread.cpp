// The thread-per-transfer engine: one thread waits on its transfer's socket until the
// session's deadline and feeds the session what arrives.
#include <chrono>

#include "tftp/listener.h"
#include "tftp/socket_sink.h"
#include "tftp/transfer_session.h"

namespace quoril {

namespace {

void Drive(TransferSession& session, platform::UdpSocket& socket, PacketSink& sink) {
  PacketBuffer received{};
  while (!SessionEnded(session)) {
    const auto now = SessionClock::now();
    const auto left = session.deadline > now
                          ? std::chrono::ceil<std::chrono::milliseconds>(session.deadline - now)
                          : std::chrono::milliseconds(0);
    platform::SocketAddressIn sender = session.clientAddress;
    std::size_t length = 0;
    platform::WaitResult result = platform::WaitResult::kTimeout;
    const Win32Error error = socket.ReceiveWithin(static_cast<std::uint32_t>(left.count()),
                                                  received, length, sender, result);
    if (error == WSAEMSGSIZE) continue;  // larger than any TFTP packet: dropped
    if (error != ERROR_SUCCESS) {
      OnReceiveFailed(session, error);
    } else if (result == platform::WaitResult::kCancelled) {
      OnReceiveFailed(session, ERROR_SUCCESS);
    } else if (result == platform::WaitResult::kTimeout) {
      OnDeadline(session, sink, SessionClock::now());
    } else {
      OnDatagram(session, std::span(received.data(), length), sender, sink,
                 SessionClock::now());
    }
  }
}

}  // namespace

void TransferSessionThread(void* record) {
  TransferSession session;
  platform::UdpSocket socket;
  SocketSink sink(socket);
  BeginSession(session, static_cast<RequestRecord*>(record));
  if (!SessionEnded(session)) {
    if (!OpenUdpSocket(socket, 0, session.localAddress)) {
      SocketNotOpened(session);
    } else {
      StartTransfer(session, sink, SessionClock::now());
    }
  }
  Drive(session, socket, sink);
  FinishSession(session);
  socket.Close();
  RunningTransfers.fetch_sub(1);
}

}  // namespace quoril
