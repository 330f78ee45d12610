// Stand-in until the registry lands: the installer defaults, serving the current directory.
#include "config/server_config.h"

#include "config/transfer_log.h"
#include "platform/strings.h"

namespace quoril {

ServerConfig gServerConfig;

int LoadServerConfig() {
  ServerConfig& config = gServerConfig;
  std::uint32_t length = 0;
  int result = 1;
  if (platform::GetCurrentDirectory(config.DefaultDirectory, length) != ERROR_SUCCESS ||
      length == 0 || length >= config.DefaultDirectory.size()) {
    result = 0;
  } else {
    platform::LowerCaseAscii(std::span(config.DefaultDirectory.data(), length));
    if (platform::SetCurrentDirectory(config.DefaultDirectory.data()) != ERROR_SUCCESS) result = 0;
  }
  config.EnableLogging = 0;
  InitLogLock();
  WriteStartBanner(false);
  return result;
}

}  // namespace quoril
