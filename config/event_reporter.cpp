#include "config/event_reporter.h"

#include <array>

#include "platform/event_log.h"

namespace quoril {

namespace {

// Ready before any code runs: an event reported while statics are made is counted too.
constinit std::array<EventCount, kCountedEventIds> gEventCounts;

// The slot of `eventId`, claimed on its first report; identifiers beyond the table's room
// are not counted.
void CountEvent(std::uint32_t eventId) {
  for (EventCount& slot : gEventCounts) {
    std::uint32_t expected = 0;
    if (slot.id.load() == eventId || slot.id.compare_exchange_strong(expected, eventId) ||
        expected == eventId) {
      ++slot.count;
      return;
    }
  }
}

}  // namespace

std::span<const EventCount> ReportedEvents() {
  return gEventCounts;
}

int EventReporter(std::uint32_t eventId) {
  CountEvent(eventId);
  platform::EventSource source;
  if (source.Register(kEventSourceName) != ERROR_SUCCESS) return 0;
  // Every entry is of the information type; the severity travels in the identifier alone.
  const Win32Error result = source.Report(platform::kEventlogInformationType, eventId);
  source.Deregister();
  return result == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace quoril
