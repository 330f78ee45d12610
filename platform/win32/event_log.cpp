// The Windows event log: one entry per report, its text taken by the event viewer from the
// message table of the file registered as the source's EventMessageFile.
#include "platform/event_log.h"

#include <string>

#include "platform/failure_detail.h"

#include "platform/win32/windows_headers.h"

namespace quoril::platform {

Win32Error EventSource::Register(const char* sourceName) {
  Deregister();
  if (sourceName == nullptr || sourceName[0] == '\0') return ERROR_INVALID_PARAMETER;
  HANDLE handle = ::RegisterEventSourceA(nullptr, sourceName);
  if (handle == nullptr) return ::GetLastError();
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  source_ = sourceName;
  return ERROR_SUCCESS;
}

Win32Error EventSource::Report(std::uint16_t type, std::uint32_t eventId) {
  if (handle_ == -1) return ERROR_INVALID_HANDLE;
  if (!::ReportEventA(reinterpret_cast<HANDLE>(handle_), type, 0, eventId, nullptr, 0, 0, nullptr,
                      nullptr)) {
    return ::GetLastError();
  }
  return ERROR_SUCCESS;
}

// An entry carries no strings: the event viewer shows the message table's text alone.
void NoteFailureDetail(std::string) {}
void NoteEventDetail(std::string) {}

std::string DescribeError(Win32Error error) {
  return "error " + std::to_string(error);
}

void EventSource::Deregister() {
  if (handle_ != -1) ::DeregisterEventSource(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  source_ = nullptr;
}

}  // namespace quoril::platform
