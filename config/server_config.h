// The process-wide settings, read from the registry once per start.
#pragma once

#include <array>
#include <cstdint>

#include "platform/files.h"

namespace quoril {

inline constexpr char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters";
inline constexpr std::size_t kLogFileNameSize = 50;

// Written by the listener during start-up only, before any transfer thread exists; read
// without a lock afterwards.
struct ServerConfig {
  std::array<char, platform::kMaxPath> DefaultDirectory{};
  std::uint32_t EnableLogging = 0;  // nonzero exactly when the log is open
  std::int32_t Timeout = 3;         // seconds, 1 to 255
  std::uint32_t MaxRetransmit = 5;  // 0 to 50
  std::uint32_t OverwriteExisting = 1;
  std::uint32_t LimitToDefaultDirectory = 0;
  // Optional: 0 serves each transfer on a thread of its own; N serves all of them from N
  // event loops.
  std::uint32_t EventLoops = 0;
};

inline constexpr std::uint32_t kMaxEventLoops = 64;

extern ServerConfig gServerConfig;

// Reads the seven values of the Parameters key into gServerConfig, makes DefaultDirectory
// the current directory and opens the transfer log when logging is on; creates the log
// lock and writes the start banner on every outcome. Answers 1 or 0.
int LoadServerConfig();

}  // namespace quoril
