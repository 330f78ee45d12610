#include <algorithm>
#include <array>
#include <cstring>

#include "platform/network_interfaces.h"
#include "resources/string_ids.h"
#include "tftp/admission/single_port.h"
#include "tftp/names/file_names.h"
#include "tftp/protocol/options.h"
#include "tftp/session/session_parts.h"
#include "tftp/state/server_state.h"

namespace quoril::session {

namespace {

// IPv4 (20) or IPv6 (40), UDP (8) and TFTP (4) headers: what a block adds to the IP datagram.
constexpr std::uint32_t kPacketOverhead = 32;
constexpr std::uint32_t kPacketOverheadIPv6 = 52;
// A window never spans more than 64 of the largest packets (about 4 MiB), whatever the
// settings allow: what one ACK or timeout makes a transfer send stays bounded.
constexpr std::size_t kMaxWindowBytes = 64 * (kHeaderSize + kMaxBlockSize);

// What the request asks for after its mode when negotiation is on; nothing otherwise.
OptionSet AskedOptions(const TransferSession& session, const ParsedRequest& parsed) {
  if (Config(session).NegotiateOptions == 0 || !parsed.modeTerminated) return {};
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
  limits.largestBlock = Config(session).MaxBlockSize;
  limits.largestWindow = Config(session).MaxWindowSize;
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
  const bool paidByAck = !limits.isWrite && Config(session).SinglePort != 0;
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

}  // namespace

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

    switch (FormRequestPath(Config(session), session.server->rewriteRules,
                            std::string_view(name.data(), parsed.nameLength), session.clientAddress,
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
    if (Config(session).LimitToDefaultDirectory != 0 &&
        !LiesInside(fullPath.data(), Config(session).DefaultDirectory.data())) {
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

  const char* confineTo = Config(session).LimitToDefaultDirectory != 0
                              ? Config(session).DefaultDirectory.data()
                              : nullptr;
  Win32Error error = ERROR_SUCCESS;
  switch (session.opcode) {
    case kOpcodeRrq:
      error = session.file.Open(session.entry.fullPath.data(), platform::kGenericRead,
                                platform::kShareRead, platform::kOpenExisting, confineTo);
      break;
    case kOpcodeWrq:
      // Written beside the file and put in its place only once complete.
      error = session.file.OpenReplacement(session.entry.fullPath.data(),
                                           Config(session).OverwriteExisting, confineTo);
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

}  // namespace quoril::session
