// A session's packets sent from its transfer socket, or in single-port mode from the port-69
// socket that received its request.
#pragma once

#include <cstdint>

#include "platform/sockets.h"
#include "tftp/admission/single_port.h"
#include "tftp/protocol/packets.h"
#include "tftp/session/transfer_session.h"

namespace quoril {

class SocketSink final : public PacketSink {
 public:
  SocketSink(const platform::UdpSocket& socket, PacketScratch& scratch)
      : PacketSink(scratch), socket_(socket) {}
  bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress& to) override {
    return SendPacket(socket_, packet, static_cast<std::uint16_t>(packet.size()), to);
  }

 private:
  const platform::UdpSocket& socket_;
};

class PortSink final : public PacketSink {
 public:
  PortSink(const platform::PortSocketSet& sockets, std::uint32_t localIndex, ReplyBudget& budget,
           PacketScratch& scratch)
      : PacketSink(scratch), sockets_(sockets), localIndex_(localIndex), budget_(budget) {}
  bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress& to) override {
    // Withheld, the packet is as good as lost on the way: the transfer goes on.
    if (!budget_.Spend(packet.size(), to)) return true;
    return sockets_.SendTo(localIndex_, packet, to) == ERROR_SUCCESS;
  }

 private:
  const platform::PortSocketSet& sockets_;
  std::uint32_t localIndex_;
  ReplyBudget& budget_;
};

}  // namespace quoril
