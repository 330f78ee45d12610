// The system log (the journal under systemd): each event's text at the priority of its
// severity.
#pragma once

#include <cstdint>
#include <string>

namespace quoril::platform {

// The syslog priority of an event: error, warning or information, from the severity in the
// identifier's top two bits. Every entry of the event log has the information type, so the
// type tells nothing.
int SystemLogPriority(std::uint32_t eventId);

// Sends `text` to the system log at the event's priority. Only the real machine's log: a
// system root elsewhere belongs to a test, which must not leave entries in the host's
// journal. syslog() drops the message quietly when no log daemon listens.
void SendToSystemLog(std::uint32_t eventId, const std::string& text);

}  // namespace quoril::platform
