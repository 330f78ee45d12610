// The event log: registering the source and writing one entry by identifier.
#pragma once

#include <cstdint>

#include "platform/win32_error.h"

namespace quoril::platform {

inline constexpr std::uint16_t kEventlogErrorType = 1;
inline constexpr std::uint16_t kEventlogWarningType = 2;
inline constexpr std::uint16_t kEventlogInformationType = 4;

// RegisterEventSourceA / ReportEventA / DeregisterEventSource. Deregistered on destruction.
class EventSource {
 public:
  EventSource() = default;
  ~EventSource() { Deregister(); }
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  Win32Error Register(const char* sourceName);
  // One entry: the type, category 0, the identifier, no user, no strings, no data.
  Win32Error Report(std::uint16_t type, std::uint32_t eventId);
  void Deregister();

 private:
  std::intptr_t handle_ = -1;
  const char* source_ = nullptr;
};

}  // namespace quoril::platform
