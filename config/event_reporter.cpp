#include "config/event_reporter.h"

#include "platform/event_log.h"

namespace quoril {

int EventReporter(std::uint32_t eventId) {
  platform::EventSource source;
  if (source.Register(kEventSourceName) != ERROR_SUCCESS) return 0;
  // Every entry is of the information type; the severity travels in the identifier alone.
  const Win32Error result = source.Report(platform::kEventlogInformationType, eventId);
  source.Deregister();
  return result == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace quoril
