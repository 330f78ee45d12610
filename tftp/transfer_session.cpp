#include "tftp/transfer_session.h"

#include <chrono>
#include <cstring>

#include "config/event_reporter.h"
#include "config/server_config.h"
#include "config/transfer_log.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "platform/strings.h"
#include "resources/string_ids.h"
#include "tftp/listener.h"
#include "tftp/netascii.h"
#include "tftp/packets.h"

namespace quoril {

namespace {

using Clock = std::chrono::steady_clock;

// What a wait for the client's next packet brought.
enum class Arrival {
  kDatagram,     // a packet of the client's, of at least 4 bytes, in `received`
  kTimeout,      // nothing from the client within the timeout
  kClientError,  // the client sent an ERROR: the transfer is over, and it is not answered
  kEnded,        // the wait or receive failed, or the server is shutting down
};

// All state of one transfer; it belongs to the transfer's thread alone.
struct Session {
  PacketBuffer request{};
  platform::SocketAddressIn clientAddress{};
  platform::SocketAddressIn peerAddress{};
  std::uint32_t localAddress = 0;
  platform::UdpSocket socket;
  platform::File file;
  std::uint16_t opcode = 0;
  bool binary = false;
  std::uint16_t block = 0;
  std::uint32_t retriesLeft = 0;
  bool lastBlock = false;
  PacketBuffer send{};
  std::uint16_t sendLength = 0;
  PacketBuffer error{};
  PacketBuffer received{};
  std::size_t receivedLength = 0;
  std::array<char, kMaxRequestName + 1> name{};
  TransferLogEntry entry;  // failed, date, time, addresses, mode, opcode, description, path
  std::chrono::milliseconds timeout{0};
};

void LoadDescription(Session& session, std::uint32_t id) {
  platform::LoadString(id, session.entry.description);
}

bool IsClient(const Session& session, const platform::SocketAddressIn& sender) {
  return sender.port == session.clientAddress.port &&
         sender.address == session.clientAddress.address;
}

bool SendToClient(Session& session, std::span<const std::uint8_t> packet, std::uint16_t length) {
  return SendPacket(session.socket, packet, length, session.clientAddress);
}

// The one ERROR a session sends its client; the session ends after it.
void SendError(Session& session, Win32Error failure) {
  const std::uint16_t length = ErrorMapping(failure, session.error, session.entry.description);
  SendToClient(session, session.error, length);
}

// Waits for the client's next packet until `deadline`. Strangers are told that they are
// one and do not touch the transfer; what no TFTP packet can be is dropped. Neither moves
// the deadline, so that nobody but the client can keep a transfer alive.
Arrival AwaitClient(Session& session, Clock::time_point deadline) {
  for (;;) {
    session.peerAddress = session.clientAddress;
    const auto now = Clock::now();
    const auto left = deadline > now ? std::chrono::ceil<std::chrono::milliseconds>(deadline - now)
                                     : std::chrono::milliseconds(0);
    platform::WaitResult result = platform::WaitResult::kTimeout;
    const Win32Error error =
        session.socket.ReceiveWithin(static_cast<std::uint32_t>(left.count()), session.received,
                                     session.receivedLength, session.peerAddress, result);
    if (error == ERROR_SUCCESS && result == platform::WaitResult::kCancelled) {
      return Arrival::kEnded;
    }
    if (error == ERROR_SUCCESS && result == platform::WaitResult::kTimeout) {
      return Arrival::kTimeout;
    }
    if (error == WSAEMSGSIZE) continue;  // larger than any TFTP packet: dropped
    if (error == WSAENOTSOCK) return Arrival::kEnded;
    if (error != ERROR_SUCCESS) {
      EventReporter(EVENT_SOCKET_READ);
      return Arrival::kEnded;
    }
    if (!IsClient(session, session.peerAddress)) {
      // An ERROR is never answered: two transfers would answer each other's for ever.
      if (session.receivedLength >= 2 && ReadField16(session.received, 0) == kOpcodeError) {
        continue;
      }
      const std::uint16_t length =
          ErrorMapping(TRANSFER_ERROR_UNKNOWN_TID, session.error, session.entry.description);
      if (!SendPacket(session.socket, session.error, length, session.peerAddress)) {
        return Arrival::kEnded;
      }
      continue;
    }
    if (session.receivedLength >= 2 && ReadField16(session.received, 0) == kOpcodeError) {
      return Arrival::kClientError;
    }
    // Too short to carry a block number: not a packet of this transfer's, ignored.
    if (session.receivedLength < kHeaderSize) continue;
    return Arrival::kDatagram;
  }
}

// After a timeout: the last packet goes to the client again while retries are left.
// Answers false when the transfer has failed.
bool RetransmitAfterTimeout(Session& session, Clock::time_point& deadline) {
  if (session.retriesLeft == 0) {
    LoadDescription(session, IDS_TIMEOUT);
    return false;
  }
  --session.retriesLeft;
  if (!SendToClient(session, session.send, session.sendLength)) return false;
  deadline = Clock::now() + session.timeout;
  return true;
}

enum class ReadState { kSendBlock, kAwaitAck, kSucceeded, kFailed };

ReadState ReadTransfer(Session& session) {
  NetasciiReader reader;
  const std::uint32_t maxRetransmit = gServerConfig.MaxRetransmit;
  ReadState state = ReadState::kSendBlock;
  Clock::time_point deadline;
  while (state == ReadState::kSendBlock || state == ReadState::kAwaitAck) {
    if (state == ReadState::kSendBlock) {
      session.retriesLeft = maxRetransmit;
      if (session.lastBlock) return ReadState::kSucceeded;
      Win32Error readError = ERROR_SUCCESS;
      const int count = reader.ReadBlock(
          std::span<std::uint8_t, kDataSize>(session.send.data() + kHeaderSize, kDataSize),
          session.file, session.binary, readError);
      if (count < 0) {
        SendError(session, TRANSFER_ERROR_READ_FAILED);
        return ReadState::kFailed;
      }
      // Block numbers roll over from 65535 to 0, so that files of any size can be read.
      ++session.block;
      session.sendLength =
          BuildDataHeader(session.send, session.block, static_cast<std::size_t>(count));
      if (session.sendLength < kMaxPacket) {
        session.lastBlock = true;
        // Everything is read and a retransmission resends the built packet: the file is let
        // go now, so that a client's next request for it never meets this transfer's share.
        session.file.Close();
      }
      if (!SendToClient(session, session.send, session.sendLength)) return ReadState::kFailed;
      deadline = Clock::now() + session.timeout;
      state = ReadState::kAwaitAck;
      continue;
    }

    switch (AwaitClient(session, deadline)) {
      case Arrival::kEnded:
      case Arrival::kClientError:
        return ReadState::kFailed;
      case Arrival::kTimeout:
        if (!RetransmitAfterTimeout(session, deadline)) return ReadState::kFailed;
        continue;
      case Arrival::kDatagram:
        break;
    }
    const std::uint16_t opcode = ReadField16(session.received, 0);
    const std::uint16_t acked = ReadField16(session.received, 2);
    if (opcode != kOpcodeAck) {
      SendError(session, TRANSFER_ERROR_ILLEGAL_OPCODE);
      return ReadState::kFailed;
    }
    if (acked == session.block) {
      state = ReadState::kSendBlock;
    } else if (static_cast<std::uint16_t>(acked + 1) == session.block) {
      // A repeated acknowledgement sends nothing (answering it would double every later
      // block), and it neither postpones nor uses up our own retransmission: a client that
      // repeats its ACK faster than our timeout would otherwise never see a lost block again.
    } else {
      SendError(session, TRANSFER_ERROR_BAD_BLOCK);
      return ReadState::kFailed;
    }
  }
  return state;
}

enum class WriteState { kAcknowledged, kAwaitData, kSucceeded, kFailed };

WriteState WriteTransfer(Session& session) {
  NetasciiWriter writer;
  const std::uint32_t maxRetransmit = gServerConfig.MaxRetransmit;
  session.sendLength = BuildAck(session.send, 0);
  if (!SendToClient(session, session.send, session.sendLength)) return WriteState::kFailed;
  WriteState state = WriteState::kAcknowledged;
  Clock::time_point deadline;
  while (state == WriteState::kAcknowledged || state == WriteState::kAwaitData) {
    if (state == WriteState::kAcknowledged) {
      // The last ACK is sent once; a client that repeats its last DATA is not waited for.
      if (session.lastBlock) return WriteState::kSucceeded;
      deadline = Clock::now() + session.timeout;
      state = WriteState::kAwaitData;
      continue;
    }

    switch (AwaitClient(session, deadline)) {
      case Arrival::kEnded:
      case Arrival::kClientError:
        return WriteState::kFailed;
      case Arrival::kTimeout:
        if (!RetransmitAfterTimeout(session, deadline)) return WriteState::kFailed;
        continue;
      case Arrival::kDatagram:
        break;
    }
    session.retriesLeft = maxRetransmit;
    const std::uint16_t opcode = ReadField16(session.received, 0);
    const std::uint16_t block = ReadField16(session.received, 2);
    if (opcode != kOpcodeData) {
      SendError(session, TRANSFER_ERROR_ILLEGAL_OPCODE);
      return WriteState::kFailed;
    }
    // Compared modulo 65536: block 0 follows 65535, so that files of any size can be written.
    if (block == static_cast<std::uint16_t>(session.block + 1)) {
      if (session.receivedLength < kMaxPacket) session.lastBlock = true;
      Win32Error writeError = ERROR_SUCCESS;
      if (!writer.WriteBlock(std::span<const std::uint8_t>(session.received.data() + kHeaderSize,
                                                           session.receivedLength - kHeaderSize),
                             session.file, session.receivedLength - kHeaderSize, session.binary,
                             writeError)) {
        SendError(session, writeError);
        return WriteState::kFailed;
      }
      // The last ACK tells the client that its file is stored: the file is in place before it
      // goes out, so that the client may read the file back at once.
      if (session.lastBlock) {
        if (const Win32Error error = session.file.Commit(); error != ERROR_SUCCESS) {
          SendError(session, error);
          return WriteState::kFailed;
        }
      }
      ++session.block;
      session.sendLength = BuildAck(session.send, session.block);
      if (!SendToClient(session, session.send, session.sendLength)) return WriteState::kFailed;
      state = WriteState::kAcknowledged;
    } else if (block == session.block) {
      if (!SendToClient(session, session.send, session.sendLength)) return WriteState::kFailed;
      deadline = Clock::now() + session.timeout;
    } else {
      SendError(session, TRANSFER_ERROR_BAD_BLOCK);
      return WriteState::kFailed;
    }
  }
  return state;
}

// A path passes when it is the default directory or lies below it.
bool InsideDefaultDirectory(const char* fullPath) {
  const char* directory = gServerConfig.DefaultDirectory.data();
  const std::size_t length = std::strlen(directory);
  if (std::strncmp(fullPath, directory, length) != 0) return false;
  if (length > 0 && (directory[length - 1] == '/' || directory[length - 1] == '\\')) return true;
  return fullPath[length] == '\0' || fullPath[length] == '/' || fullPath[length] == '\\';
}

// Checks the request and opens its file; answers whether the transfer can begin.
bool CheckRequestAndOpen(Session& session) {
  ParsedRequest parsed = ParseRequest(session.request);
  if (session.opcode == kOpcodeRrq || session.opcode == kOpcodeWrq) {
    if (!parsed.nameTerminated || parsed.nameLength > kMaxRequestName) {
      LoadDescription(session, IDS_FILE_NAME_TOO_LONG);
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
      return false;
    }
    platform::LowerCaseAscii(std::span(fullPath.data(), length));

    if (gServerConfig.LimitToDefaultDirectory != 0 && !InsideDefaultDirectory(fullPath.data())) {
      SendError(session, ERROR_ACCESS_DENIED);
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
      SendError(session, TRANSFER_ERROR_ILLEGAL_OPCODE);
      return false;
  }
  if (error != ERROR_SUCCESS) {
    SendError(session, error);
    return false;
  }
  return true;
}

void EndSession(Session& session, bool succeeded) {
  if (succeeded) {
    session.entry.failed = false;
    LoadDescription(session, IDS_TRANSFER_SUCCESSFUL);
  }
  WriteTransferLine(session.entry);
  session.socket.Close();
  session.file.Close();
  RunningTransfers.fetch_sub(1);
}

void RunSession(Session& session, RequestRecord* record) {
  session.request = record->datagram;
  session.clientAddress = record->clientAddress;
  session.peerAddress = record->clientAddress;
  const std::uint32_t localIndex = record->localIndex;
  if (!gRequestHeap.Free(record)) {
    EventReporter(EVENT_MEMORY_FREE);
    EndSession(session, false);
    return;
  }
  session.retriesLeft = gServerConfig.MaxRetransmit;
  session.timeout = std::chrono::seconds(gServerConfig.Timeout);
  FormatTime(session.entry.time);
  FormatDate(session.entry.date);

  session.localAddress = gLocalAddressTable.addresses[localIndex];
  if (!OpenUdpSocket(session.socket, 0, session.localAddress)) {
    EventReporter(EVENT_SOCKET_ALLOCATE);
    EndSession(session, false);
    return;
  }
  session.opcode = ReadField16(session.request, 0);
  session.entry.opcode = session.opcode;
  session.entry.opcodeSet = true;
  FormatAddressText(session.clientAddress.address, session.entry.clientText);
  FormatAddressText(session.localAddress, session.entry.localText);

  if (!CheckRequestAndOpen(session)) {
    EndSession(session, false);
    return;
  }
  const bool succeeded = session.opcode == kOpcodeRrq
                             ? ReadTransfer(session) == ReadState::kSucceeded
                             : WriteTransfer(session) == WriteState::kSucceeded;
  EndSession(session, succeeded);
}

}  // namespace

void TransferSession(void* record) {
  Session session;
  RunSession(session, static_cast<RequestRecord*>(record));
}

}  // namespace quoril
