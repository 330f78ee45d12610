// The event log on POSIX: one line per entry in var/log/quoril/events.log under the system
// root, and the text to the system log.
#include "platform/event_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/posix/error_mapping.h"
#include "platform/posix/system_root.h"
#include "resources/message_table.h"

namespace quoril::platform {

namespace {

constexpr char kEventsDirectory[] = "var/log/quoril";
constexpr char kEventsFile[] = "var/log/quoril/events.log";

// Creates each missing directory of kEventsDirectory under the system root.
void MakeEventsDirectory() {
  const std::string relative = kEventsDirectory;
  for (std::size_t end = relative.find('/');; end = relative.find('/', end + 1)) {
    const std::string path = SystemRootPath(relative.substr(0, end).c_str());
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return;  // the open tells why
    if (end == std::string::npos) return;
  }
}

const char* TypeName(std::uint16_t type) {
  switch (type) {
    case 0:
      return "Success";
    case kEventlogErrorType:
      return "Error";
    case kEventlogWarningType:
      return "Warning";
    case kEventlogInformationType:
      return "Information";
    case 8:
      return "AuditSuccess";
    case 16:
      return "AuditFailure";
    default:
      return nullptr;
  }
}

int SyslogPriority(std::uint16_t type) {
  switch (type) {
    case kEventlogErrorType:
    case 16:
      return LOG_ERR;
    case kEventlogWarningType:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

// Sends `text` to the system log. Only the real machine's log: a system root elsewhere
// belongs to a test, which must not leave entries in the host's journal. syslog() drops
// the message quietly when no log daemon listens.
void SendToSystemLog(std::uint16_t type, const std::string& text) {
  if (SystemRootPath("") != "/") return;
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("Quoril", LOG_PID, LOG_DAEMON); });
  syslog(SyslogPriority(type), "%s", text.c_str());
}

// Serialises the writers of this process; flock() serialises them with other processes.
std::mutex& EventsFileLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

EventSource::~EventSource() {
  Deregister();
}

Win32Error EventSource::Register(const char* sourceName) {
  Deregister();
  if (sourceName == nullptr || sourceName[0] == '\0') return ERROR_INVALID_PARAMETER;
  MakeEventsDirectory();
  const std::string path = SystemRootPath(kEventsFile);
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Win32ErrorFromErrno(errno, path.c_str());
  handle_ = fd;
  source_ = sourceName;
  return ERROR_SUCCESS;
}

Win32Error EventSource::Report(std::uint16_t type, std::uint32_t eventId) {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  const char* typeName = TypeName(type);
  if (typeName == nullptr) return ERROR_INVALID_PARAMETER;

  // An identifier without a text is still written, as the Windows event log does.
  const MessageTableEntry* message = FindMessage(eventId);
  const char* name = message != nullptr ? message->name : "-";
  std::string text = message != nullptr ? message->text : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();

  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(eventId));

  std::string line = std::string(stamp) + ' ' + source_ + ' ' + typeName + ' ' + id + ' ' + name;
  if (!text.empty()) line += ' ' + text;
  line += '\n';

  Win32Error result = ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(EventsFileLock());
    const int fd = static_cast<int>(handle_);
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return Win32ErrorFromErrno(errno);
    }
    const ssize_t written = write(fd, line.data(), line.size());
    if (written < 0) {
      result = Win32ErrorFromErrno(errno);
    } else if (static_cast<std::size_t>(written) != line.size()) {
      result = ERROR_DISK_FULL;
    }
    flock(fd, LOCK_UN);
  }
  if (result == ERROR_SUCCESS) SendToSystemLog(type, text);
  return result;
}

void EventSource::Deregister() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
  source_ = nullptr;
}

}  // namespace quoril::platform
