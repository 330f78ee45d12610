#include "bench/tftp_client.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

namespace quoril::bench {

namespace {

std::uint16_t Field16(std::span<const std::uint8_t> packet, std::size_t offset) {
  return static_cast<std::uint16_t>(packet[offset] << 8 | packet[offset + 1]);
}

void PutField16(std::span<std::uint8_t> packet, std::size_t offset, std::uint16_t value) {
  packet[offset] = static_cast<std::uint8_t>(value >> 8);
  packet[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::uint16_t Wire(std::uint64_t block) {
  return static_cast<std::uint16_t>(block & 0xFFFF);
}

void Fail(ClientTransfer& transfer, Failure failure) {
  transfer.state = State::kFailed;
  transfer.failure = failure;
}

void BuildAck(ClientTransfer& transfer) {
  PutField16(transfer.packet, 0, kOpAck);
  PutField16(transfer.packet, 2, Wire(transfer.block));
  transfer.packetLength = 4;
}

// Builds the DATA after the one just acknowledged.
void BuildNextData(ClientTransfer& transfer) {
  transfer.inFlight = std::min(kBlockSize, transfer.source.size() - transfer.offset);
  ++transfer.block;
  PutField16(transfer.packet, 0, kOpData);
  PutField16(transfer.packet, 2, Wire(transfer.block));
  // An empty source has no data pointer to copy from.
  if (transfer.inFlight > 0) {
    std::memcpy(transfer.packet.data() + 4, transfer.source.data() + transfer.offset,
                transfer.inFlight);
  }
  transfer.packetLength = 4 + transfer.inFlight;
}

bool ExpectByte(ClientTransfer& transfer, std::uint8_t byte) {
  if (transfer.offset >= transfer.source.size() || transfer.source[transfer.offset] != byte) {
    return false;
  }
  ++transfer.offset;
  return true;
}

// Netascii on the wire back to the stored form: CR LF is a line end (LF), CR NUL a bare CR.
// A CR followed by anything else is not netascii.
bool CheckNetascii(ClientTransfer& transfer, std::span<const std::uint8_t> data) {
  for (const std::uint8_t byte : data) {
    if (transfer.crPending) {
      transfer.crPending = false;
      if (byte == '\n') {
        if (!ExpectByte(transfer, '\n')) return false;
      } else if (byte == 0) {
        if (!ExpectByte(transfer, '\r')) return false;
      } else {
        return false;
      }
    } else if (byte == '\r') {
      transfer.crPending = true;
    } else if (!ExpectByte(transfer, byte)) {
      return false;
    }
  }
  return true;
}

bool CheckData(ClientTransfer& transfer, std::span<const std::uint8_t> data) {
  if (transfer.mode == Mode::kNetascii) return CheckNetascii(transfer, data);
  if (data.size() > transfer.source.size() - transfer.offset) return false;
  if (!data.empty() &&
      std::memcmp(data.data(), transfer.source.data() + transfer.offset, data.size()) != 0) {
    return false;
  }
  transfer.offset += data.size();
  return true;
}

// The short block ended the file: everything must have come, nothing more.
bool CheckComplete(ClientTransfer& transfer) {
  // A file that ends in CR may be sent with that CR bare as its last byte.
  if (transfer.crPending) {
    transfer.crPending = false;
    if (!ExpectByte(transfer, '\r')) return false;
  }
  return transfer.offset == transfer.source.size();
}

// The OACK: the block and window sizes granted; ACK 0 starts the data.
Reaction OnOack(ClientTransfer& transfer, std::span<const std::uint8_t> datagram) {
  Reaction reaction;
  std::size_t at = 2;
  const auto field = [&]() {
    const auto end =
        std::find(datagram.begin() + static_cast<std::ptrdiff_t>(at), datagram.end(), 0);
    std::string text(datagram.begin() + static_cast<std::ptrdiff_t>(at), end);
    at = static_cast<std::size_t>(end - datagram.begin()) + 1;
    return text;
  };
  while (at < datagram.size()) {
    const std::string name = field();
    const std::string value = at <= datagram.size() ? field() : std::string();
    std::uint32_t number = 0;
    std::from_chars(value.data(), value.data() + value.size(), number);
    if (name == "blksize" && number >= 8 && number <= 65464) transfer.blockSize = number;
    if (name == "windowsize" && number >= 1) transfer.windowSize = number;
  }
  BuildAck(transfer);
  reaction.sendPacket = true;
  reaction.progressed = true;
  return reaction;
}

Reaction OnDownloadData(ClientTransfer& transfer, std::span<const std::uint8_t> datagram) {
  Reaction reaction;
  const std::uint16_t number = Field16(datagram, 2);
  const auto ahead = static_cast<std::uint16_t>(number - Wire(transfer.block + 1));
  const auto behind = static_cast<std::uint16_t>(-ahead);
  if (ahead != 0 && behind <= transfer.windowSize && behind <= transfer.block) {
    // A repeat: the server did not get our ACK yet, or retransmitted early. Not answering
    // keeps one packet in flight (no Sorcerer's Apprentice); our timer resends the ACK.
    return reaction;
  }
  if (ahead != 0 && transfer.windowSize > 1 && ahead < transfer.windowSize) {
    // A block of the window was lost: the server goes on after the last one in order.
    BuildAck(transfer);
    transfer.inWindow = 0;
    reaction.sendPacket = true;
    return reaction;
  }
  if (ahead != 0) {
    Fail(transfer, Failure::kBadBlock);
    return reaction;
  }
  const std::span<const std::uint8_t> data = datagram.subspan(4);
  if (data.size() > transfer.blockSize) {
    Fail(transfer, Failure::kMalformed);
    return reaction;
  }
  if (!CheckData(transfer, data)) {
    Fail(transfer, Failure::kMismatch);
    return reaction;
  }
  ++transfer.block;
  transfer.wireBytes += data.size();
  reaction.progressed = true;
  const bool last = data.size() < transfer.blockSize;
  if (last || ++transfer.inWindow >= transfer.windowSize) {
    BuildAck(transfer);
    transfer.inWindow = 0;
    reaction.sendPacket = true;
  }
  if (last) {
    if (CheckComplete(transfer)) {
      transfer.state = State::kDone;
    } else {
      Fail(transfer, Failure::kMismatch);
    }
  }
  return reaction;
}

Reaction OnUploadAck(ClientTransfer& transfer, std::span<const std::uint8_t> datagram) {
  Reaction reaction;
  const std::uint16_t number = Field16(datagram, 2);
  if (number != Wire(transfer.block)) {
    // The ACK before the one awaited is a repeat; the timer resends our DATA.
    if (transfer.block > 0 && number == Wire(transfer.block - 1)) return reaction;
    Fail(transfer, Failure::kBadBlock);
    return reaction;
  }
  if (transfer.block > 0) {
    transfer.offset += transfer.inFlight;
    transfer.wireBytes += transfer.inFlight;
    if (transfer.inFlight < kBlockSize) {
      transfer.state = State::kDone;
      reaction.progressed = true;
      return reaction;
    }
  }
  BuildNextData(transfer);
  reaction.sendPacket = true;
  reaction.progressed = true;
  return reaction;
}

}  // namespace

std::string_view FailureName(Failure failure) {
  switch (failure) {
    case Failure::kNone:
      return "none";
    case Failure::kTimeout:
      return "timeout";
    case Failure::kServerError:
      return "server_error";
    case Failure::kBadBlock:
      return "bad_block";
    case Failure::kMismatch:
      return "mismatch";
    case Failure::kMalformed:
      return "malformed";
    case Failure::kLocal:
      return "local";
    case Failure::kCount:
      break;
  }
  return "unknown";
}

bool StartTransfer(ClientTransfer& transfer, Direction direction, Mode mode, std::string_view name,
                   std::span<const std::uint8_t> source, std::uint32_t maxRetransmissions,
                   const TransferOptions& options) {
  transfer = ClientTransfer{};
  transfer.direction = direction;
  transfer.mode = mode;
  transfer.source = source;
  transfer.retriesLeft = maxRetransmissions;
  const std::string_view modeName = mode == Mode::kOctet ? "octet" : "netascii";
  if (2 + name.size() + 1 + modeName.size() + 1 > kMaxPacket) {
    Fail(transfer, Failure::kLocal);
    return false;
  }
  PutField16(transfer.packet, 0, direction == Direction::kDownload ? kOpRrq : kOpWrq);
  std::size_t at = 2;
  std::memcpy(transfer.packet.data() + at, name.data(), name.size());
  at += name.size();
  transfer.packet[at++] = 0;
  std::memcpy(transfer.packet.data() + at, modeName.data(), modeName.size());
  at += modeName.size();
  transfer.packet[at++] = 0;
  const auto append = [&](std::string_view option, std::uint32_t value) {
    if (value == 0 || direction != Direction::kDownload) return;
    const std::string text = std::to_string(value);
    if (at + option.size() + text.size() + 2 > kMaxPacket) return;
    std::memcpy(transfer.packet.data() + at, option.data(), option.size());
    at += option.size();
    transfer.packet[at++] = 0;
    std::memcpy(transfer.packet.data() + at, text.data(), text.size());
    at += text.size();
    transfer.packet[at++] = 0;
    transfer.optionsAsked = true;
  };
  append("blksize", options.blockSize);
  append("windowsize", options.windowSize);
  transfer.packetLength = at;
  return true;
}

Reaction OnDatagram(ClientTransfer& transfer, std::span<const std::uint8_t> datagram,
                    std::uint16_t senderPort, std::uint32_t maxRetransmissions) {
  Reaction reaction;
  if (transfer.state != State::kRunning || datagram.size() < 4) return reaction;
  const std::uint16_t opcode = Field16(datagram, 0);
  if (transfer.serverPort != 0 && senderPort != transfer.serverPort) {
    ++transfer.strays;
    // Never answer an ERROR: two sides telling each other off would not end.
    reaction.answerStray = opcode != kOpError;
    return reaction;
  }
  if (transfer.serverPort == 0) {
    // The server's first answer fixes its transfer identifier.
    const bool oack = transfer.optionsAsked && opcode == kOpOack;
    const bool first = opcode == kOpError || oack ||
                       (transfer.direction == Direction::kDownload && opcode == kOpData) ||
                       (transfer.direction == Direction::kUpload && opcode == kOpAck);
    if (!first) return reaction;
    transfer.serverPort = senderPort;
    if (oack) {
      reaction = OnOack(transfer, datagram);
      transfer.retriesLeft = maxRetransmissions;
      return reaction;
    }
  }
  if (opcode == kOpError) {
    transfer.errorCode = Field16(datagram, 2);
    Fail(transfer, Failure::kServerError);
    return reaction;
  }
  const std::uint16_t expected = transfer.direction == Direction::kDownload ? kOpData : kOpAck;
  if (opcode != expected) {
    Fail(transfer, Failure::kMalformed);
    return reaction;
  }
  reaction = transfer.direction == Direction::kDownload ? OnDownloadData(transfer, datagram)
                                                        : OnUploadAck(transfer, datagram);
  if (reaction.progressed) transfer.retriesLeft = maxRetransmissions;
  return reaction;
}

Reaction OnTimeout(ClientTransfer& transfer) {
  Reaction reaction;
  if (transfer.state != State::kRunning) return reaction;
  if (transfer.retriesLeft == 0) {
    Fail(transfer, Failure::kTimeout);
    return reaction;
  }
  --transfer.retriesLeft;
  ++transfer.retransmissions;
  // A download tells the server where it stands: the ACK of the last block in order.
  if (transfer.direction == Direction::kDownload && transfer.serverPort != 0) {
    BuildAck(transfer);
    transfer.inWindow = 0;
  }
  reaction.sendPacket = true;
  return reaction;
}

}  // namespace quoril::bench
