#include "platform/posix/system_log.h"

#include <syslog.h>

#include <mutex>

#include "platform/posix/system_root.h"

namespace quoril::platform {

namespace {

constexpr std::uint32_t kSeverityError = 3;
constexpr std::uint32_t kSeverityWarning = 2;

}  // namespace

int SystemLogPriority(std::uint32_t eventId) {
  switch (eventId >> 30) {
    case kSeverityError:
      return LOG_ERR;
    case kSeverityWarning:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

void SendToSystemLog(std::uint32_t eventId, const std::string& text) {
  if (SystemRootPath("") != "/") return;
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("Quoril", LOG_PID, LOG_DAEMON); });
  syslog(SystemLogPriority(eventId), "%s", text.c_str());
}

}  // namespace quoril::platform
