#include "platform/posix/system_log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include "messages.h"

namespace quoril::platform {
namespace {

// The journal filters by priority (journalctl -p warning): errors must not arrive as
// information.
TEST(SystemLog, PriorityFollowsTheEventsSeverity) {
  struct Row {
    const char* name;
    std::uint32_t eventId;
    int priority;
  };
  const Row rows[] = {
      {"success", EVENT_SERVICE_STARTED, LOG_INFO},
      {"informational", 0x40000001, LOG_INFO},
      {"warning", EVENT_TRANSFERS_LIMITED, LOG_WARNING},
      {"error", EVENT_INIT_FAILED, LOG_ERR},
      {"error of the transfers", EVENT_SOCKET_READ, LOG_ERR},
  };
  for (const Row& row : rows) EXPECT_EQ(SystemLogPriority(row.eventId), row.priority) << row.name;
}

}  // namespace
}  // namespace quoril::platform
