#include "tftp/transfer_session.h"

#include <cstring>

#include "config/event_reporter.h"
#include "config/server_config.h"
#include "platform/strings.h"
#include "resources/string_ids.h"
#include "tftp/listener.h"

namespace quoril {

namespace {

using TimePoint = SessionClock::time_point;

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

bool IsClient(const TransferSession& session, const platform::SocketAddressIn& sender) {
  return sender.port == session.clientAddress.port &&
         sender.address == session.clientAddress.address;
}

// The one ERROR a session sends its client; the session ends after it.
void FailWithError(TransferSession& session, PacketSink& sink, Win32Error failure) {
  const std::uint16_t length = ErrorMapping(failure, session.error, session.entry.description);
  sink.Send(std::span(session.error.data(), length), session.clientAddress);
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

// Read side, SendBlock: the next DATA, or success once the last one was acknowledged.
void SendNextBlock(TransferSession& session, PacketSink& sink, TimePoint now) {
  session.retriesLeft = gServerConfig.MaxRetransmit;
  if (session.lastBlock) {
    Succeed(session);
    return;
  }
  Win32Error readError = ERROR_SUCCESS;
  const int count = session.reader.ReadBlock(
      std::span<std::uint8_t, kDataSize>(session.send.data() + kHeaderSize, kDataSize),
      session.file, session.binary, readError);
  if (count < 0) {
    FailWithError(session, sink, TRANSFER_ERROR_READ_FAILED);
    return;
  }
  // Block numbers roll over from 65535 to 0, so that files of any size can be read.
  ++session.block;
  session.sendLength =
      BuildDataHeader(session.send, session.block, static_cast<std::size_t>(count));
  if (session.sendLength < kMaxPacket) {
    session.lastBlock = true;
    // Everything is read and a retransmission resends the built packet: the file is let go
    // now, so that a client's next request for it never meets this transfer's share.
    session.file.Close();
  }
  session.state = SessionState::kAwaitAck;
  SendCurrent(session, sink, now);
}

// Write side, Acknowledged: ACK of the current block; after the last one the transfer is
// over at once, since a client that repeats its last DATA is not waited for.
void Acknowledge(TransferSession& session, PacketSink& sink, TimePoint now) {
  session.sendLength = BuildAck(session.send, session.block);
  session.state = SessionState::kAwaitData;
  SendCurrent(session, sink, now);
  if (session.state == SessionState::kAwaitData && session.lastBlock) Succeed(session);
}

// AwaitAck, a packet of the client's.
void AckArrived(TransferSession& session, std::span<const std::uint8_t> datagram,
                PacketSink& sink, TimePoint now) {
  const std::uint16_t opcode = ReadField16(datagram, 0);
  const std::uint16_t acked = ReadField16(datagram, 2);
  if (opcode != kOpcodeAck) {
    FailWithError(session, sink, TRANSFER_ERROR_ILLEGAL_OPCODE);
  } else if (acked == session.block) {
    SendNextBlock(session, sink, now);
  } else if (static_cast<std::uint16_t>(acked + 1) == session.block) {
    // A repeated acknowledgement sends nothing (answering it would double every later
    // block), and it neither postpones nor uses up our own retransmission: a client that
    // repeats its ACK faster than our timeout would otherwise never see a lost block again.
  } else {
    FailWithError(session, sink, TRANSFER_ERROR_BAD_BLOCK);
  }
}

// AwaitData, a packet of the client's: every one renews the retries.
void DataArrived(TransferSession& session, std::span<const std::uint8_t> datagram,
                 PacketSink& sink, TimePoint now) {
  session.retriesLeft = gServerConfig.MaxRetransmit;
  const std::uint16_t opcode = ReadField16(datagram, 0);
  const std::uint16_t block = ReadField16(datagram, 2);
  if (opcode != kOpcodeData) {
    FailWithError(session, sink, TRANSFER_ERROR_ILLEGAL_OPCODE);
    return;
  }
  // Compared modulo 65536: block 0 follows 65535, so that files of any size can be written.
  if (block == static_cast<std::uint16_t>(session.block + 1)) {
    const std::span<const std::uint8_t> data = datagram.subspan(kHeaderSize);
    if (datagram.size() < kMaxPacket) session.lastBlock = true;
    Win32Error writeError = ERROR_SUCCESS;
    if (!session.writer.WriteBlock(data, session.file, data.size(), session.binary,
                                   writeError)) {
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
    Acknowledge(session, sink, now);
  } else if (block == session.block) {
    SendCurrent(session, sink, now);
  } else {
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

// Checks the request and opens its file; answers whether the transfer can begin. A request
// that fails here has been answered (or left unanswered) and the session has ended.
bool CheckRequestAndOpen(TransferSession& session, PacketSink& sink) {
  ParsedRequest parsed = ParseRequest(session.request);
  if (session.opcode == kOpcodeRrq || session.opcode == kOpcodeWrq) {
    if (!parsed.nameTerminated || parsed.nameLength > kMaxRequestName) {
      FailWithDescription(session, IDS_FILE_NAME_TOO_LONG);
      return false;
    }
    std::memcpy(session.name.data(), session.request.data() + 2, parsed.nameLength);
    session.name[parsed.nameLength] = '\0';
    session.binary = parsed.binary;
    session.entry.binary = parsed.binary;

    auto& fullPath = session.entry.fullPath;
    std::uint32_t length = 0;
    if (platform::GetFullPathName(session.name.data(), fullPath, length) != ERROR_SUCCESS ||
        length == 0 || length >= fullPath.size()) {
      fullPath.fill('\0');
      Fail(session);
      return false;
    }
    platform::LowerCaseAscii(std::span(fullPath.data(), length));

    if (gServerConfig.LimitToDefaultDirectory != 0 && !InsideDefaultDirectory(fullPath.data())) {
      FailWithError(session, sink, ERROR_ACCESS_DENIED);
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
  return true;
}

}  // namespace

void BeginSession(TransferSession& session, RequestRecord* record) {
  session.request = record->datagram;
  session.clientAddress = record->clientAddress;
  session.localIndex = record->localIndex;
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

void StartTransfer(TransferSession& session, PacketSink& sink, TimePoint now) {
  session.opcode = ReadField16(session.request, 0);
  session.entry.opcode = session.opcode;
  session.entry.opcodeSet = true;
  FormatAddressText(session.clientAddress.address, session.entry.clientText);
  FormatAddressText(session.localAddress, session.entry.localText);
  if (!CheckRequestAndOpen(session, sink)) return;
  if (session.opcode == kOpcodeRrq) {
    SendNextBlock(session, sink, now);
  } else {
    Acknowledge(session, sink, now);
  }
}

void OnDatagram(TransferSession& session, std::span<const std::uint8_t> datagram,
                const platform::SocketAddressIn& sender, PacketSink& sink, TimePoint now) {
  if (SessionEnded(session)) return;
  const bool isError = datagram.size() >= 2 && ReadField16(datagram, 0) == kOpcodeError;
  if (!IsClient(session, sender)) {
    // Strangers are told that they are one and do not touch the transfer, nor its deadline,
    // so that nobody but the client can keep it alive. An ERROR is never answered: two
    // transfers would answer each other's for ever.
    if (isError) return;
    const std::uint16_t length =
        ErrorMapping(TRANSFER_ERROR_UNKNOWN_TID, session.error, session.entry.description);
    if (!sink.Send(std::span(session.error.data(), length), sender)) Fail(session);
    return;
  }
  if (isError) {
    Fail(session);  // the client gave up; an ERROR is not answered
    return;
  }
  // Too short to carry a block number: not a packet of this transfer's, ignored.
  if (datagram.size() < kHeaderSize) return;
  if (session.state == SessionState::kAwaitAck) {
    AckArrived(session, datagram, sink, now);
  } else if (session.state == SessionState::kAwaitData) {
    DataArrived(session, datagram, sink, now);
  }
}

void OnDeadline(TransferSession& session, PacketSink& sink, TimePoint now) {
  if (SessionEnded(session)) return;
  if (session.retriesLeft == 0) {
    FailWithDescription(session, IDS_TIMEOUT);
    return;
  }
  --session.retriesLeft;
  SendCurrent(session, sink, now);
}

void OnReceiveFailed(TransferSession& session, Win32Error error) {
  if (SessionEnded(session)) return;
  if (error != ERROR_SUCCESS && error != WSAENOTSOCK) EventReporter(EVENT_SOCKET_READ);
  Fail(session);
}

void FinishSession(TransferSession& session) {
  WriteTransferLine(session.entry);
  session.file.Close();
}

}  // namespace quoril
