// The process-wide settings, read from the registry once per start.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "config/listen_addresses.h"
#include "platform/files.h"

namespace quoril {

inline constexpr char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters";
inline constexpr std::size_t kLogFileNameSize = 50;

// The settings of one start: written by the listener during start-up only, before any
// transfer exists; read without a lock afterwards.
struct ServerConfig {
  // As stored, lowered; from the start on, the full path of the current directory.
  std::array<char, platform::kMaxPath> DefaultDirectory{};
  std::array<char, kLogFileNameSize> LogFile{};  // lowered
  std::uint32_t EnableLogging = 0;  // from the start on, nonzero exactly when the log is open
  std::int32_t Timeout = 3;         // seconds, 1 to 255
  std::uint32_t MaxRetransmit = 5;  // 0 to 50
  std::uint32_t OverwriteExisting = 1;
  std::uint32_t LimitToDefaultDirectory = 0;
  // Optional: 0 serves each transfer on a thread of its own; N serves all of them from N
  // event loops.
  std::uint32_t EventLoops = 0;
  // Optional: nonzero negotiates blksize, timeout, tsize and windowsize (RFC 2347); 0 reads
  // nothing after a request's mode.
  std::uint32_t NegotiateOptions = 0;
  // Optional: the largest block size (bytes, 8 to 65464) and window (blocks, 1 to 65535)
  // that negotiation grants.
  std::uint32_t MaxBlockSize = 1468;
  std::uint32_t MaxWindowSize = 64;
  // Optional: how many transfers run at once; 0 (or absent) takes the default. The listener
  // may serve fewer when the process cannot hold enough descriptors for them.
  std::uint32_t MaxTransfers = 0;
  // Optional, both or neither: every transfer socket takes a free port of this range
  // (inclusive, within 1024..65535). 0 for both: the system chooses each port.
  std::uint32_t TransferPortLow = 0;
  std::uint32_t TransferPortHigh = 0;
  // Optional: nonzero runs every transfer on the port-69 socket that received its request,
  // for clients that can reach nothing but port 69 (a NAT, a container's published port).
  std::uint32_t SinglePort = 0;
  // Optional: nonzero also serves every local IPv6 address; 0 (or absent) IPv4 only.
  std::uint32_t EnableIPv6 = 0;
  // Optional: nonzero takes a name that begins with a separator from the root of
  // DefaultDirectory, as boot loaders mean it, when confinement is on.
  std::uint32_t RootRelativeNames = 0;
  // Optional: the rules that rewrite each request's name, one text each, in order; empty
  // without the value. Compiled by the name handling at start.
  std::vector<std::string> RewriteRules;
  // Optional bit field: a client's own directory in DefaultDirectory, named by its address (1)
  // or its hardware address (2), is looked in first.
  std::uint32_t ClientDirectories = 0;
  // Optional: when not empty, only the addresses these entries stand for are served.
  std::vector<ListenEntry> ListenAddresses;
  // Optional: nonzero follows addresses as they come and go after the start.
  std::uint32_t FollowAddresses = 0;
  // Optional: nonzero doubles each wait of a transfer for its client's answer to one packet,
  // within the same total as without it (RetransmitWait).
  std::uint32_t RetransmitBackoff = 0;
  // Optional: nonzero lets a DATA or ACK numbered ahead of what the client may send go on
  // instead of ending the transfer (a write answers it with its last ACK).
  std::uint32_t IgnoreBlocksAhead = 0;
  // Optional: nonzero drops a copy of a running transfer's request (transfer sockets).
  std::uint32_t IgnoreRequestCopies = 0;
  // Optional: nonzero keeps a write's socket one timeout after its final ACK, to send that ACK
  // again to a repeated last DATA.
  std::uint32_t DallyAfterWrite = 0;
  // Optional: ADDRESS:PORT ([ADDRESS]:PORT for IPv6) of the HTTP endpoint that serves
  // /metrics and /healthz; empty, no endpoint and no socket.
  std::string MetricsAddress;
  // Optional: the file that takes one JSON object per ended transfer; empty, none.
  std::string TransferRecordFile;
};

inline constexpr std::uint32_t kClientDirectoryByAddress = 1;
inline constexpr std::uint32_t kClientDirectoryByHardware = 2;
// The most rule text that RewriteRules may hold, terminators included.
inline constexpr std::uint32_t kMaxRewriteRulesBytes = 64 * 1024;

inline constexpr std::uint32_t kMaxEventLoops = 64;
inline constexpr std::uint32_t kMinBlockSizeSetting = 8;
inline constexpr std::uint32_t kMaxBlockSizeSetting = 65464;
inline constexpr std::uint32_t kMaxWindowSizeSetting = 65535;
inline constexpr std::uint32_t kLowestTransferPort = 1024;
inline constexpr std::uint32_t kHighestTransferPort = 65535;

// Reads the values of the Parameters key into `config`; an empty DefaultDirectory takes the
// current one. Nothing else changes: the start makes the settings take effect. Answers
// 1 or 0 (logging then off).
int LoadServerConfig(ServerConfig& config);

}  // namespace quoril
