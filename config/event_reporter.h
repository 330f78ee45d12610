// Reports events to the event log by message identifier.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "messages.h"

namespace quoril {

inline constexpr char kEventSourceName[] = "Quoril";

// Writes one entry of the information type with `eventId`; answers 1 when it was written,
// 0 otherwise. No caller looks at the answer.
int EventReporter(std::uint32_t eventId);

// How often each identifier was reported in this process, written or not; a slot whose `id`
// is 0 is unused. Any thread.
struct EventCount {
  std::atomic<std::uint32_t> id{0};
  std::atomic<std::uint64_t> count{0};
};
inline constexpr std::size_t kCountedEventIds = 64;
std::span<const EventCount> ReportedEvents();

}  // namespace quoril
