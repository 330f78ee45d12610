#include "tftp/transfer_session.h"

#include <cstring>

#include <algorithm>

#include "config/event_reporter.h"
#include "config/server_config.h"
#include "observe/metrics.h"
#include "observe/transfer_end.h"
#include "platform/network_interfaces.h"
#include "platform/strings.h"
#include "resources/string_ids.h"
#include "tftp/file_names.h"
#include "tftp/listener.h"
#include "tftp/options.h"
#include "tftp/single_port.h"
#include "tftp/transfer_limit.h"

namespace quoril {

namespace {

using TimePoint = SessionClock::time_point;

// IPv4 (20) or IPv6 (40), UDP (8) and TFTP (4) headers: what a block adds to the IP datagram.
constexpr std::uint32_t kPacketOverhead = 32;
constexpr std::uint32_t kPacketOverheadIPv6 = 52;
// A window never spans more than 64 of the largest packets (about 4 MiB), whatever the
// settings allow: what one ACK or timeout makes a transfer send stays bounded.
constexpr std::size_t kMaxWindowBytes = 64 * (kHeaderSize + kMaxBlockSize);
// Half the block numbers: those up to here behind a block came before it (numbers wrap).
constexpr std::uint16_t kHalfBlockSpace = 0x8000;

void LoadDescription(TransferSession& session, std::uint32_t id) {
  platform::LoadString(id, session.entry.description);
}

void Fail(TransferSession& session) {
  session.state = SessionState::kFailed;
  session.file.Close();
}

void Succeed(TransferSession& session) {
  session.state = SessionState::kSucceeded;
  session.entry.failed = false;
  LoadDescription(session, IDS_TRANSFER_SUCCESSFUL);
}

void FailWithDescription(TransferSession& session, std::uint32_t id) {
  LoadDescription(session, id);
  Fail(session);
}

bool IsClient(const TransferSession& session, const platform::SocketAddress& sender) {
  return sender == session.clientAddress;
}

// The one ERROR a session sends its client; the session ends after it.
void FailWithError(TransferSession& session, PacketSink& sink, Win32Error failure) {
  PacketBuffer error{};
  const std::uint16_t length = ErrorMapping(failure, error, session.entry.description);
  sink.Send(std::span(error.data(), length), session.clientAddress);
  Fail(session);
}

// Sends the packet in the send buffer and gives the client a full timeout to answer it.
void SendCurrent(TransferSession& session, PacketSink& sink, TimePoint now) {
  if (!sink.Send(std::span(session.send.data(), session.sendLength), session.clientAddress)) {
    Fail(session);
    return;
  }
  session.deadline = now + session.timeout;
}

// Block numbers wrap from 65535 to 0: `number` came before `reference` (or is it) when it
// lies within the half of the number space behind it.
bool Behind(std::uint16_t number, std::uint16_t reference) {
  return static_cast<std::uint16_t>(reference - number) < kHalfBlockSpace;
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

// The block the client acknowledged last: the one before the first in flight.
std::uint16_t Acknowledged(const TransferSession& session) {
  return static_cast<std::uint16_t>(session.block - session.inFlight);
}

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
  session.deadline = now + session.timeout;
}

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
    session.deadline = now + session.timeout;
  }
}

// Write side, Acknowledged: ACK of the last block stored in order; after the last block the
// transfer is over at once, since a client that repeats its last DATA is not waited for.
void Acknowledge(TransferSession& session, PacketSink& sink, TimePoint now) {
  session.sendLength = BuildAck(session.send, session.block);
  session.unacknowledged = 0;
  session.state = SessionState::kAwaitData;
  SendCurrent(session, sink, now);
  if (session.state == SessionState::kAwaitData && session.lastBlock) Succeed(session);
}

// AwaitOptionAck, a packet of the client's: ACK 0 accepts the options and starts the data.
void OptionAckArrived(TransferSession& session, std::span<const std::uint8_t> datagram,
                      PacketSink& sink, TimePoint now) {
  const std::uint16_t acked = ReadField16(datagram, 2);
  if (ReadField16(datagram, 0) != kOpcodeAck) {
    FailWithError(session, sink, TRANSFER_ERROR_ILLEGAL_OPCODE);
  } else if (acked == 0) {
    session.retriesLeft = gServerConfig.MaxRetransmit;
    FillWindow(session, sink, now);
  } else if (!Behind(acked, 0)) {
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
    session.retriesLeft = gServerConfig.MaxRetransmit;
    if (!MoveWindowStart(session, sink, ahead)) return;
    // An ACK from inside the window says that the block after it was lost: the window
    // starts over from there (RFC 7440), then takes new blocks.
    if (session.inFlight > 0) ResendWindow(session, sink, now);
    if (!SessionEnded(session)) FillWindow(session, sink, now);
  } else if (!Behind(acked, Acknowledged(session))) {
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
  session.retriesLeft = gServerConfig.MaxRetransmit;
  // Compared modulo 65536: block 0 follows 65535, so that files of any size can be written.
  const auto ahead = static_cast<std::uint16_t>(block - session.block);
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
      session.deadline = now + session.timeout;  // the window is still coming
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

// A path passes when it is the default directory or lies below it.
bool InsideDefaultDirectory(const char* fullPath) {
  const char* directory = gServerConfig.DefaultDirectory.data();
  const std::size_t length = std::strlen(directory);
  if (std::strncmp(fullPath, directory, length) != 0) return false;
  if (length > 0 && (directory[length - 1] == '/' || directory[length - 1] == '\\')) return true;
  return fullPath[length] == '\0' || fullPath[length] == '/' || fullPath[length] == '\\';
}

// What the request asks for after its mode when negotiation is on; nothing otherwise.
OptionSet AskedOptions(const TransferSession& session, const ParsedRequest& parsed) {
  if (gServerConfig.NegotiateOptions == 0 || !parsed.modeTerminated) return {};
  const std::size_t end = std::min<std::size_t>(session.requestLength, session.request.size());
  if (parsed.optionsStart >= end) return {};
  return ParseOptions(std::span<const std::uint8_t>(session.request)
                          .subspan(parsed.optionsStart, end - parsed.optionsStart));
}

// A write that announces its size must fit the free space of the target's file system.
// Where the free space is not known, the write itself finds out.
bool FitsTheDisk(const TransferSession& session, const OptionSet& asked) {
  if (!asked.Has(OptionName::kTransferSize)) return true;
  std::uint64_t freeBytes = 0;
  if (platform::GetDiskFreeSpace(session.entry.fullPath.data(), freeBytes) != ERROR_SUCCESS) {
    return true;
  }
  return asked.Value(OptionName::kTransferSize) <= freeBytes;
}

// The record's copy of an option set.
void NoteOptions(OptionValues& noted, const OptionSet& options) {
  static_assert(kOptionCount == kKnownOptions && static_cast<int>(OptionName::kWindowSize) == 3);
  noted.values = options.values;
  noted.present = options.present;
}

// Grants what the settings, the interface and the file allow, sizes the transfer for it and
// leaves the OACK in the send buffer. Nothing granted leaves the transfer as without options.
void Negotiate(TransferSession& session, const OptionSet& asked) {
  OptionLimits limits;
  limits.isWrite = session.opcode == kOpcodeWrq;
  limits.largestBlock = gServerConfig.MaxBlockSize;
  limits.largestWindow = gServerConfig.MaxWindowSize;
  if (asked.Has(OptionName::kBlockSize)) {
    // Blocks that fit the MTU of the interface that received the request go unfragmented.
    std::uint32_t mtu = 0;
    const std::uint32_t overhead =
        session.localAddress.IsIPv6() ? kPacketOverheadIPv6 : kPacketOverhead;
    if (platform::GetInterfaceMtu(session.localAddress, mtu) == ERROR_SUCCESS && mtu > overhead) {
      limits.largestBlock = std::min(limits.largestBlock, mtu - overhead);
    }
  }
  // On port 69 a forger may send a read's ACKs: one ACK draws no more than it pays for.
  const bool paidByAck = !limits.isWrite && gServerConfig.SinglePort != 0;
  if (paidByAck) {
    limits.largestBlock =
        std::min(limits.largestBlock, LargestSinglePortBlock(session.clientAddress));
  }
  if (!limits.isWrite && session.binary) {
    limits.fileSizeKnown = session.file.Size(limits.fileSize) == ERROR_SUCCESS;
  }
  OptionSet granted = GrantOptions(asked, limits);
  const auto blockSize = static_cast<std::uint16_t>(
      granted.Has(OptionName::kBlockSize) ? granted.Value(OptionName::kBlockSize) : kDataSize);
  if (!limits.isWrite) {
    // What one ACK or timeout makes a read send is bounded; a write's client sends.
    const std::size_t fits = kMaxWindowBytes / (kHeaderSize + blockSize);
    limits.largestWindow = static_cast<std::uint32_t>(
        std::min<std::size_t>(limits.largestWindow, std::max<std::size_t>(fits, 1)));
    if (paidByAck) {
      limits.largestWindow =
          std::min(limits.largestWindow, LargestSinglePortWindow(blockSize, session.clientAddress));
    }
    granted = GrantOptions(asked, limits);
  }
  NoteOptions(session.facts.granted, granted);
  if (granted.count == 0) return;

  session.blockSize = blockSize;
  if (granted.Has(OptionName::kWindowSize)) {
    session.windowSize = static_cast<std::uint16_t>(granted.Value(OptionName::kWindowSize));
  }
  if (granted.Has(OptionName::kTimeout)) {
    session.timeout = std::chrono::seconds(granted.Value(OptionName::kTimeout));
  }
  session.sendLength = BuildOack(session.send, granted);
  session.optionsSent = true;
  session.facts.blockSize = session.blockSize;
  session.facts.windowSize = session.windowSize;
}

// Checks the request and opens its file; answers whether the transfer can begin. A request
// that fails here has been answered (or left unanswered) and the session has ended.
bool CheckRequestAndOpen(TransferSession& session, PacketSink& sink) {
  ParsedRequest parsed = ParseRequest(session.request);
  OptionSet asked;
  if (session.opcode == kOpcodeRrq || session.opcode == kOpcodeWrq) {
    if (!parsed.nameTerminated || parsed.nameLength > kMaxRequestName) {
      FailWithDescription(session, IDS_FILE_NAME_TOO_LONG);
      return false;
    }
    std::array<char, kMaxRequestName + 1> name;
    std::memcpy(name.data(), session.request.data() + 2, parsed.nameLength);
    name[parsed.nameLength] = '\0';
    session.binary = parsed.binary;
    session.entry.binary = parsed.binary;

    switch (FormRequestPath(std::string_view(name.data(), parsed.nameLength), session.clientAddress,
                            session.opcode == kOpcodeWrq, session.entry)) {
      case NameResult::kFormed:
        break;
      case NameResult::kNotFormed:
        Fail(session);
        return false;
      case NameResult::kDenied:
        FailWithError(session, sink, ERROR_ACCESS_DENIED);
        return false;
    }

    const auto& fullPath = session.entry.fullPath;
    if (gServerConfig.LimitToDefaultDirectory != 0 && !InsideDefaultDirectory(fullPath.data())) {
      FailWithError(session, sink, ERROR_ACCESS_DENIED);
      return false;
    }

    asked = AskedOptions(session, parsed);
    NoteOptions(session.facts.asked, asked);
    // Refused before the file is created or emptied: a write that cannot fit changes nothing.
    if (session.opcode == kOpcodeWrq && !FitsTheDisk(session, asked)) {
      FailWithError(session, sink, TRANSFER_ERROR_ALLOCATION_EXCEEDED);
      return false;
    }
  }

  const char* confineTo =
      gServerConfig.LimitToDefaultDirectory != 0 ? gServerConfig.DefaultDirectory.data() : nullptr;
  Win32Error error = ERROR_SUCCESS;
  switch (session.opcode) {
    case kOpcodeRrq:
      error = session.file.Open(session.entry.fullPath.data(), platform::kGenericRead,
                                platform::kShareRead, platform::kOpenExisting, confineTo);
      break;
    case kOpcodeWrq:
      // Written beside the file and put in its place only once complete.
      error = session.file.OpenReplacement(session.entry.fullPath.data(),
                                           gServerConfig.OverwriteExisting, confineTo);
      break;
    default:
      FailWithError(session, sink, TRANSFER_ERROR_ILLEGAL_OPCODE);
      return false;
  }
  if (error != ERROR_SUCCESS) {
    FailWithError(session, sink, error);
    return false;
  }
  if (asked.count > 0) Negotiate(session, asked);
  return true;
}

// The log line's operation and addresses.
void NameTheParties(TransferSession& session) {
  session.opcode = ReadField16(session.request, 0);
  session.entry.opcode = session.opcode;
  session.entry.opcodeSet = true;
  FormatAddressText(session.clientAddress, session.entry.clientText);
  FormatAddressText(session.localAddress, session.entry.localText);
}

// A request is held (for its turn, for a port) as long as a client waits for an answer before
// it asks again: one Timeout from its arrival on port 69, however long it waited there.
TimePoint HoldDeadline(const TransferSession& session, TimePoint now) {
  return std::min(now + session.timeout, session.arrived + session.timeout);
}

// The server's own bound on a client's silence: how long a transfer at the server's Timeout
// waits for its client before it gives up.
SessionClock::duration SilenceBound() {
  return std::chrono::seconds(gServerConfig.Timeout) *
         (std::int64_t{gServerConfig.MaxRetransmit} + 1);
}

// A client's timeout option lets the session wait for its client longer than that bound.
bool MayOutliveSilenceBound(const TransferSession& session) {
  const bool awaitsClient = session.state == SessionState::kAwaitOptionAck ||
                            session.state == SessionState::kAwaitAck ||
                            session.state == SessionState::kAwaitData;
  return awaitsClient && session.timeout > std::chrono::seconds(gServerConfig.Timeout);
}

// The OACK is out and not yet answered by the first ACK (read) or DATA (write).
bool AwaitingOptionAnswer(const TransferSession& session) {
  return session.state == SessionState::kAwaitOptionAck ||
         (session.optionsSent && session.state == SessionState::kAwaitData && session.block == 0);
}

}  // namespace

std::span<std::uint8_t> PacketScratch::Room(std::size_t size) {
  if (size_ < size) {
    bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    size_ = size;
  }
  return std::span(bytes_.get(), size);
}

void PacketScratch::Release() {
  bytes_.reset();
  size_ = 0;
}

void BeginSession(TransferSession& session, RequestRecord* record) {
  session.request = record->datagram;
  session.requestLength = std::min<std::uint16_t>(record->length, kMaxPacket);
  session.clientAddress = record->clientAddress;
  session.localIndex = record->localIndex;
  session.arrived = WaitingSince(record->arrived);
  CountRequestTaken(ServerMetrics(), session.localIndex);
  if (!gRequestHeap.Free(record)) {
    EventReporter(EVENT_MEMORY_FREE);
    Fail(session);
    return;
  }
  session.retriesLeft = gServerConfig.MaxRetransmit;
  session.timeout = std::chrono::seconds(gServerConfig.Timeout);
  FormatTime(session.entry.time);
  FormatDate(session.entry.date);
  session.localAddress = gLocalAddressTable.addresses[session.localIndex];
}

void SocketNotOpened(TransferSession& session) {
  EventReporter(EVENT_SOCKET_ALLOCATE);
  Fail(session);
}

bool TakeTurn(TransferSession& session, TurnWaiter& waiter, std::uintptr_t key, TimePoint now) {
  // What goes to an address of this host never leaves it: nobody else is flooded.
  const LocalAddressTable& local = gLocalAddressTable;
  for (std::uint32_t k = 0; k < local.count; ++k) {
    if (platform::SameHost(local.addresses[k], session.clientAddress)) return true;
  }
  switch (gClientTurns.Take(session.turn, session.clientAddress, waiter, key)) {
    case TurnTaken::kHeld:
      return true;
    case TurnTaken::kWaiting:
      session.state = SessionState::kWaitingForTurn;
      NoteRequestWait(ServerMetrics(), session.facts, RequestWait::kTurn);
      session.deadline = HoldDeadline(session, now);
      ++session.waits;
      return false;
    case TurnTaken::kRepeated:
      break;
  }
  // Its line tells who asked again; the earlier request answers.
  NameTheParties(session);
  session.entry.binary = ParseRequest(session.request).binary;
  Fail(session);
  return false;
}

void AwaitPort(TransferSession& session, TimePoint now) {
  // Its line, should the shutdown end the wait, tells whose transfer never began.
  NameTheParties(session);
  session.entry.binary = ParseRequest(session.request).binary;
  session.state = SessionState::kWaitingForPort;
  NoteRequestWait(ServerMetrics(), session.facts, RequestWait::kPort);
  session.deadline = HoldDeadline(session, now);
  ++session.waits;
}

void StartTransfer(TransferSession& session, PacketSink& sink, TimePoint now) {
  session.state = SessionState::kTakingOver;
  NoteRequestWait(ServerMetrics(), session.facts, RequestWait::kNone);
  NameTheParties(session);
  if (!CheckRequestAndOpen(session, sink)) return;
  if (session.optionsSent) {
    session.state =
        session.opcode == kOpcodeRrq ? SessionState::kAwaitOptionAck : SessionState::kAwaitData;
    SendCurrent(session, sink, now);
  } else if (session.opcode == kOpcodeRrq) {
    FillWindow(session, sink, now);
  } else {
    Acknowledge(session, sink, now);
  }
  session.lastHeard = now;
  // Each wait stood for one Timeout of the first packet: a request lives no longer for them.
  session.retriesLeft -= std::min<std::uint32_t>(session.retriesLeft, session.waits);
}

std::size_t LargestDatagram(const TransferSession& session) {
  // A read's client sends ACKs and ERRORs only; a write's, DATA of the granted size.
  if (session.opcode != kOpcodeWrq) return kMaxPacket;
  return std::max<std::size_t>(kMaxPacket, kHeaderSize + session.blockSize);
}

void OnDatagram(TransferSession& session, std::span<const std::uint8_t> datagram,
                const platform::SocketAddress& sender, PacketSink& sink, TimePoint now) {
  if (SessionEnded(session) || datagram.size() > LargestDatagram(session)) return;
  const bool isError = datagram.size() >= 2 && ReadField16(datagram, 0) == kOpcodeError;
  if (!IsClient(session, sender)) {
    // Strangers are told that they are one and do not touch the transfer, nor its deadline,
    // so that nobody but the client can keep it alive. An ERROR is never answered: two
    // transfers would answer each other's for ever.
    if (isError) return;
    PacketBuffer error{};
    const std::uint16_t length =
        ErrorMapping(TRANSFER_ERROR_UNKNOWN_TID, error, session.entry.description);
    if (!sink.Send(std::span(error.data(), length), sender)) Fail(session);
    return;
  }
  if (isError) {
    // The client gave up; an ERROR is not answered. An ERROR in answer to the OACK declines
    // the options (UEFI's size probe does so by design and then asks again without tsize).
    if (AwaitingOptionAnswer(session)) LoadDescription(session, IDS_OPTIONS_DECLINED);
    Fail(session);
    return;
  }
  session.lastHeard = now;
  if (!session.heard) {
    // The client is real: its transfer no longer counts against its address.
    session.heard = true;
    gClientTurns.Leave(session.turn);
  }
  // Too short to carry a block number: not a packet of this transfer's, ignored.
  if (datagram.size() < kHeaderSize) return;
  switch (session.state) {
    case SessionState::kAwaitOptionAck:
      OptionAckArrived(session, datagram, sink, now);
      break;
    case SessionState::kAwaitAck:
      AckArrived(session, datagram, sink, now);
      break;
    case SessionState::kAwaitData:
      DataArrived(session, datagram, sink, now);
      break;
    default:
      break;
  }
}

void OnDeadline(TransferSession& session, PacketSink& sink, TimePoint now) {
  if (SessionEnded(session)) return;
  // A request waits for its turn, or for a port, as long as a client waits for an answer
  // before it asks again; a real client's next request then waits anew.
  if (session.state == SessionState::kWaitingForTurn ||
      session.state == SessionState::kWaitingForPort) {
    NameTheParties(session);  // its line tells whose transfer never began
    session.entry.binary = ParseRequest(session.request).binary;
    FailWithDescription(session, IDS_TIMEOUT);
    return;
  }
  ++session.facts.timeouts;
  if (session.retriesLeft == 0) {
    FailWithDescription(session, IDS_TIMEOUT);
    return;
  }
  --session.retriesLeft;
  if (session.state == SessionState::kAwaitAck) {
    ResendWindow(session, sink, now);  // from the first block not acknowledged
    return;
  }
  ++session.facts.retransmissions;
  if (session.state == SessionState::kAwaitData && session.unacknowledged > 0) {
    Acknowledge(session, sink, now);  // what has come of the window, so that the rest follows
  } else {
    SendCurrent(session, sink, now);  // the OACK or the last ACK
  }
}

TimePoint NextSilenceCheck(const TransferSession& session, TimePoint now) {
  if (!MayOutliveSilenceBound(session)) return TimePoint::max();
  const TimePoint limit = session.lastHeard + SilenceBound();
  return limit > now ? limit : now + std::chrono::seconds(gServerConfig.Timeout);
}

void OnRequestsWaiting(TransferSession& session, TimePoint now) {
  if (!MayOutliveSilenceBound(session) || now - session.lastHeard <= SilenceBound()) return;
  FailWithDescription(session, IDS_TIMEOUT);
}

void OnReceiveFailed(TransferSession& session, Win32Error error) {
  if (SessionEnded(session)) return;
  if (error != ERROR_OPERATION_ABORTED && error != WSAENOTSOCK) EventReporter(EVENT_SOCKET_READ);
  Fail(session);
}

void OnSuperseded(TransferSession& session) {
  if (SessionEnded(session)) return;
  FailWithDescription(session, IDS_SUPERSEDED);
}

void FinishSession(TransferSession& session) {
  WriteTransferLine(session.entry);
  ObserveTransferEnd(session.entry, session.facts, session.clientAddress,
                     SessionClock::now() - session.arrived);
  NoteRequestWait(ServerMetrics(), session.facts, RequestWait::kNone);
  session.file.Close();
  gClientTurns.Leave(session.turn);
}

}  // namespace quoril
