// Reports events to the event log by message identifier.
#pragma once

#include <cstdint>

#include "messages.h"

namespace quoril {

inline constexpr char kEventSourceName[] = "Quoril";

// Writes one entry of the information type with `eventId`; answers 1 when it was written,
// 0 otherwise. No caller looks at the answer.
int EventReporter(std::uint32_t eventId);

}  // namespace quoril
