#include "platform/posix/system_log.h"

#include <syslog.h>

#include <mutex>

#include "platform/posix/system_root.h"

namespace quoril::platform {

int SystemLogPriority(std::uint32_t eventId) {
  // By severity: success, information, warning, error.
  constexpr int kBySeverity[] = {LOG_INFO, LOG_INFO, LOG_WARNING, LOG_ERR};
  return kBySeverity[eventId >> 30];
}

void SendToSystemLog(std::uint32_t eventId, const std::string& text) {
  if (SystemRootPath("") != "/") return;
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("Quoril", LOG_PID, LOG_DAEMON); });
  syslog(SystemLogPriority(eventId), "%s", text.c_str());
}

}  // namespace quoril::platform
