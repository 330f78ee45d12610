// A session's packets sent from its transfer socket.
#pragma once

#include "platform/sockets.h"
#include "tftp/packets.h"
#include "tftp/transfer_session.h"

namespace quoril {

class SocketSink final : public PacketSink {
 public:
  explicit SocketSink(const platform::UdpSocket& socket) : socket_(socket) {}
  bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress& to) override {
    return SendPacket(socket_, packet, static_cast<std::uint16_t>(packet.size()), to);
  }

 private:
  const platform::UdpSocket& socket_;
};

}  // namespace quoril
