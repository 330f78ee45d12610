#include "platform/strings.h"
#include "resources/string_ids.h"
#include "tftp/session/session_parts.h"

namespace quoril::session {

namespace {

// Half the block numbers: those up to here behind a block came before it (numbers wrap).
constexpr std::uint16_t kHalfBlockSpace = 0x8000;

// Block numbers wrap from 65535 to 0: `number` came before `reference` (or is it) when it
// lies within the half of the number space behind it.
bool Behind(std::uint16_t number, std::uint16_t reference) {
  return static_cast<std::uint16_t>(reference - number) < kHalfBlockSpace;
}

// A block numbered ahead of anything the client may send ends the transfer, unless the server
// is told to let it go (a write then answers it with its last ACK): atftp's client, when its
// timer runs out during an upload, sends the block after the one it should repeat, and goes
// back once it hears our ACK.
bool IgnoresBlocksAhead(const TransferSession& session) {
  return Config(session).IgnoreBlocksAhead != 0;
}

// Read side: 512-byte blocks at most, one at a time, keep their packet in the send buffer.
bool KeepsItsPacket(const TransferSession& session) {
  return session.windowSize == 1 && session.blockSize <= kDataSize;
}

// Read side: room for the next DATA, in the send buffer or the engine's scratch.
std::span<std::uint8_t> BlockPacket(TransferSession& session, PacketSink& sink) {
  if (KeepsItsPacket(session)) return session.send;
  return sink.Room(kHeaderSize + session.blockSize);
}

}  // namespace

// Read side: the reader's next block into `packet`, numbered `number`; answers its byte count,
// or -1 once the failed read has ended the transfer.
int ReadBlockInto(TransferSession& session, PacketSink& sink, std::span<std::uint8_t> packet,
                  std::uint16_t number, std::uint16_t& length) {
  Win32Error readError = ERROR_SUCCESS;
  const int count = session.reader.ReadBlock(packet.subspan(kHeaderSize, session.blockSize),
                                             session.file, session.binary, readError);
  if (count < 0) {
    FailWithError(session, sink, TRANSFER_ERROR_READ_FAILED);
    return -1;
  }
  length = BuildDataHeader(packet, number, static_cast<std::size_t>(count));
  return count;
}

namespace {

// The block the client acknowledged last: the one before the first in flight.
std::uint16_t Acknowledged(const TransferSession& session) {
  return static_cast<std::uint16_t>(session.block - session.inFlight);
}

}  // namespace

// Read side: sends every block in flight again, oldest first, each read again from where the
// window starts. The file must give what it gave: every block full but a last short one.
void ResendWindow(TransferSession& session, PacketSink& sink, TimePoint now) {
  if (KeepsItsPacket(session)) {
    ++session.facts.retransmissions;
    SendCurrent(session, sink, now);
    return;
  }
  session.reader.Resume(session.windowStart);
  for (std::uint16_t k = 0; k < session.inFlight; ++k) {
    const std::span<std::uint8_t> packet = BlockPacket(session, sink);
    const auto number = static_cast<std::uint16_t>(Acknowledged(session) + 1 + k);
    std::uint16_t length = 0;
    const int count = ReadBlockInto(session, sink, packet, number, length);
    if (count < 0) return;
    const bool last = session.lastBlock && k + 1 == session.inFlight;
    if ((static_cast<std::size_t>(count) < session.blockSize) != last) {
      FailWithError(session, sink, TRANSFER_ERROR_READ_FAILED);  // changed while being read
      return;
    }
    if (!sink.Send(packet.first(length), session.clientAddress)) {
      Fail(session);
      return;
    }
    ++session.facts.retransmissions;
  }
  AwaitAnswer(session, now);
}

namespace {

// Read side: the client acknowledged `acked` blocks of the window; the window starts after
// them. A whole window acknowledged leaves the reader where the next one starts; a part
// moves the mark on over the blocks acknowledged, which are all full.
bool MoveWindowStart(TransferSession& session, PacketSink& sink, std::uint16_t acked) {
  if (acked < session.inFlight && !KeepsItsPacket(session)) {
    session.reader.Resume(session.windowStart);
    Win32Error readError = ERROR_SUCCESS;
    if (!session.reader.Skip(acked, BlockPacket(session, sink).subspan(kHeaderSize), session.file,
                             session.binary, readError)) {
      FailWithError(session, sink, TRANSFER_ERROR_READ_FAILED);
      return false;
    }
    session.windowStart = session.reader.Mark();
  }
  session.inFlight = static_cast<std::uint16_t>(session.inFlight - acked);
  return true;
}

}  // namespace

// Read side, SendBlock: new blocks until the window is full or the last one is out;
// success once the last block is acknowledged.
void FillWindow(TransferSession& session, PacketSink& sink, TimePoint now) {
  if (session.lastBlock && session.inFlight == 0) {
    Succeed(session);
    return;
  }
  session.state = SessionState::kAwaitAck;
  while (!session.lastBlock && session.inFlight < session.windowSize) {
    if (session.inFlight == 0) session.windowStart = session.reader.Mark();
    const std::span<std::uint8_t> packet = BlockPacket(session, sink);
    // Block numbers roll over from 65535 to 0, so that files of any size can be read.
    const auto number = static_cast<std::uint16_t>(session.block + 1);
    std::uint16_t length = 0;
    const int count = ReadBlockInto(session, sink, packet, number, length);
    if (count < 0) return;
    session.block = number;
    ++session.inFlight;
    if (KeepsItsPacket(session)) session.sendLength = length;
    if (static_cast<std::size_t>(count) < session.blockSize) {
      session.lastBlock = true;
      // Everything is read and a retransmission resends the packet kept: the file is let go
      // now, so that a client's next request for it never meets this transfer's share. A
      // window reads its blocks again to resend them, and keeps the file until it ends.
      if (KeepsItsPacket(session)) session.file.Close();
    }
    if (!sink.Send(packet.first(length), session.clientAddress)) {
      Fail(session);
      return;
    }
    ++session.facts.blocks;
    session.facts.bytes += static_cast<std::uint64_t>(count);
    AwaitAnswer(session, now);
  }
}

// Write side, Acknowledged: ACK of the last block stored in order; after the last block the
// transfer is over (EndWrite).
void Acknowledge(TransferSession& session, PacketSink& sink, TimePoint now) {
  session.sendLength = BuildAck(session.send, session.block);
  session.unacknowledged = 0;
  session.state = SessionState::kAwaitData;
  SendCurrent(session, sink, now);
  if (session.state == SessionState::kAwaitData && session.lastBlock) EndWrite(session, now);
}

// AwaitOptionAck, a packet of the client's: ACK 0 accepts the options and starts the data.
void OptionAckArrived(TransferSession& session, std::span<const std::uint8_t> datagram,
                      PacketSink& sink, TimePoint now) {
  const std::uint16_t acked = ReadField16(datagram, 2);
  if (ReadField16(datagram, 0) != kOpcodeAck) {
    FailWithError(session, sink, TRANSFER_ERROR_ILLEGAL_OPCODE);
  } else if (acked == 0) {
    session.retriesLeft = Config(session).MaxRetransmit;
    FillWindow(session, sink, now);
  } else if (!Behind(acked, 0) && !IgnoresBlocksAhead(session)) {
    FailWithError(session, sink, TRANSFER_ERROR_BAD_BLOCK);
  }
  // An ACK from behind block 0 is a stray of the network's: ignored, as below.
}

// AwaitAck, a packet of the client's. An ACK of block n acknowledges every block up to n.
void AckArrived(TransferSession& session, std::span<const std::uint8_t> datagram, PacketSink& sink,
                TimePoint now) {
  const std::uint16_t opcode = ReadField16(datagram, 0);
  const std::uint16_t acked = ReadField16(datagram, 2);
  // Compared modulo 65536, so that the window moves across the rollover.
  const auto ahead = static_cast<std::uint16_t>(acked - Acknowledged(session));
  if (opcode != kOpcodeAck) {
    FailWithError(session, sink, TRANSFER_ERROR_ILLEGAL_OPCODE);
  } else if (ahead >= 1 && ahead <= session.inFlight) {
    session.retriesLeft = Config(session).MaxRetransmit;
    if (!MoveWindowStart(session, sink, ahead)) return;
    // An ACK from inside the window says that the block after it was lost: the window
    // starts over from there (RFC 7440), then takes new blocks.
    if (session.inFlight > 0) ResendWindow(session, sink, now);
    if (!SessionEnded(session)) FillWindow(session, sink, now);
  } else if (!Behind(acked, Acknowledged(session)) && !IgnoresBlocksAhead(session)) {
    FailWithError(session, sink, TRANSFER_ERROR_BAD_BLOCK);
  }
  // A repeated, late or reordered acknowledgement sends nothing (answering it would double
  // every later block), and it neither postpones nor uses up our own retransmission: a client
  // that repeats its ACK faster than our timeout would otherwise never see a lost block
  // again. Networks duplicate and reorder datagrams; a transfer must not end for it.
}

// AwaitData, a packet of the client's: every one but a late copy renews the retries.
void DataArrived(TransferSession& session, std::span<const std::uint8_t> datagram, PacketSink& sink,
                 TimePoint now) {
  const std::uint16_t opcode = ReadField16(datagram, 0);
  const std::uint16_t block = ReadField16(datagram, 2);
  // A granted block below 512 bytes leaves room for longer datagrams (an ERROR may have 516
  // bytes); a DATA longer than the block is no packet of this transfer's.
  if (opcode == kOpcodeData && datagram.size() - kHeaderSize > session.blockSize) return;
  if (opcode != kOpcodeData) {
    FailWithError(session, sink, TRANSFER_ERROR_ILLEGAL_OPCODE);
    return;
  }
  // A block before the last one stored is a late copy: its client had our ACK of it before it
  // sent the next, and needs no answer. Answering would send an ACK twice, which a client
  // with the sorcerer's-apprentice flaw answers with its next DATA twice, drawing two ACKs
  // again, without end. The last block stored is answered, as its client may have lost our
  // ACK; should that be lost too, our timeout repeats it.
  if (block != session.block && Behind(block, session.block)) return;
  // Compared modulo 65536: block 0 follows 65535, so that files of any size can be written.
  const auto ahead = static_cast<std::uint16_t>(block - session.block);
  const bool beyond = ahead > 1 && !(session.windowSize > 1 && ahead <= session.windowSize);
  if (beyond && IgnoresBlocksAhead(session)) {
    // Our last ACK tells the client where the write stands, at once; the wait for its next
    // block stays where it is.
    if (!sink.Send(std::span(session.send.data(), session.sendLength), session.clientAddress)) {
      Fail(session);
    }
    return;
  }
  session.retriesLeft = Config(session).MaxRetransmit;
  if (ahead == 1) {
    const std::span<const std::uint8_t> data = datagram.subspan(kHeaderSize);
    if (data.size() < session.blockSize) session.lastBlock = true;
    Win32Error writeError = ERROR_SUCCESS;
    if (!session.writer.WriteBlock(data, session.file, data.size(), session.binary, writeError)) {
      FailWithError(session, sink, writeError);
      return;
    }
    // The last ACK tells the client that its file is stored: the file is in place before it
    // goes out, so that the client may read the file back at once.
    if (session.lastBlock) {
      if (const Win32Error error = session.file.Commit(); error != ERROR_SUCCESS) {
        FailWithError(session, sink, error);
        return;
      }
    }
    ++session.block;
    ++session.unacknowledged;
    ++session.facts.blocks;
    session.facts.bytes += data.size();
    if (session.lastBlock || session.unacknowledged >= session.windowSize) {
      Acknowledge(session, sink, now);
    } else {
      AwaitAnswer(session, now);  // the window is still coming
    }
  } else if (session.windowSize > 1 && ahead <= session.windowSize) {
    // Out of order: a block of the window was lost, or the last window came again. The
    // block is discarded and the client learns where to go on from.
    ++session.facts.retransmissions;
    Acknowledge(session, sink, now);
  } else if (ahead == 0) {
    ++session.facts.retransmissions;
    SendCurrent(session, sink, now);
  } else {
    // Beyond anything the client may send before our next ACK.
    FailWithError(session, sink, TRANSFER_ERROR_BAD_BLOCK);
  }
}

}  // namespace quoril::session
