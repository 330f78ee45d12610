// The event log on POSIX: one line per entry in var/log/quoril/events.log under the system
// root, and the text to the system log at the priority of the event's severity.
#include "platform/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "platform/posix/error_mapping.h"
#include "platform/posix/failure_detail.h"
#include "platform/posix/system_log.h"
#include "platform/posix/system_root.h"
#include "resources/message_table.h"

namespace quoril::platform {

namespace {

constexpr char kEventsDirectory[] = "var/log/quoril";
constexpr char kEventsFile[] = "var/log/quoril/events.log";

const char* TypeName(std::uint16_t type) {
  constexpr std::pair<std::uint16_t, const char*> kNames[] = {
      {0, "Success"},
      {kEventlogErrorType, "Error"},
      {kEventlogWarningType, "Warning"},
      {kEventlogInformationType, "Information"},
      {8, "AuditSuccess"},
      {16, "AuditFailure"}};
  for (const auto& [value, name] : kNames) {
    if (value == type) return name;
  }
  return nullptr;
}

// The events file, opened by the first registration and held for the life of the process,
// so that an entry still reaches it when the process has no descriptor to spare. Opened
// again when its name no longer leads to it (rotated away, removed, another system root).
// Never destroyed: a transfer thread may report while the process ends.
class EventsFile {
 public:
  static EventsFile& Get() {
    alignas(EventsFile) static unsigned char storage[sizeof(EventsFile)];
    static EventsFile* const file = ::new (storage) EventsFile();
    return *file;
  }

  Win32Error Open() {
    const std::string path = SystemRootPath(kEventsFile);
    std::lock_guard<std::mutex> guard(mutex_);
    struct stat named {};
    if (fd_ >= 0 && path == path_ && stat(path.c_str(), &named) == 0 && named.st_dev == device_ &&
        named.st_ino == inode_) {
      return ERROR_SUCCESS;
    }
    // The events' own directory for the service alone, like the file; a failure shows in
    // the open.
    MakeSystemDirectory(kEventsDirectory, 0750);
    // O_NONBLOCK: a FIFO in the file's place must not hold the service up.
    const int fd =
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      const int err = fd < 0 ? errno : EACCES;
      if (fd >= 0) close(fd);
      // Out of descriptors: the file held still takes the entry.
      if ((err == EMFILE || err == ENFILE) && fd_ >= 0 && path == path_) return ERROR_SUCCESS;
      Reset();
      return Win32ErrorFromErrno(err, path.c_str());
    }
    Reset();
    fd_ = fd;
    path_ = path;
    device_ = opened.st_dev;
    inode_ = opened.st_ino;
    return ERROR_SUCCESS;
  }

  // One write per entry, at the end: O_APPEND keeps the entries of other processes whole
  // without a lock that another program could hold.
  Win32Error Append(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    ssize_t written = -1;
    do {
      written = write(fd_, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return Win32ErrorFromErrno(errno);
    if (static_cast<std::size_t>(written) != line.size()) return ERROR_DISK_FULL;
    return ERROR_SUCCESS;
  }

 private:
  EventsFile() = default;

  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  std::mutex mutex_;
  int fd_ = -1;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace

Win32Error EventSource::Register(const char* sourceName) {
  Deregister();
  if (sourceName == nullptr || sourceName[0] == '\0') return ERROR_INVALID_PARAMETER;
  if (const Win32Error error = EventsFile::Get().Open(); error != ERROR_SUCCESS) return error;
  // Tells only that the source is registered: the file belongs to the process.
  handle_ = 0;
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

  // Beside an error or a warning, what the layer found on this thread, where it knows: the
  // event's own identifier and text stay as they are. Taken by every event, so that none
  // goes stale.
  bool anyType = false;
  const std::string detail = TakeFailureDetail(&anyType);
  if (((eventId >> 30) >= 2 || anyType) && !detail.empty()) {
    std::string shown;
    for (const char c : detail) shown += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    text += " (" + shown + ")";
  }

  std::string line = std::string(stamp) + ' ' + source_ + ' ' + typeName + ' ' + id + ' ' + name;
  if (!text.empty()) line += ' ' + text;
  line += '\n';

  const Win32Error result = EventsFile::Get().Append(line);
  if (result == ERROR_SUCCESS) SendToSystemLog(eventId, text);
  return result;
}

void EventSource::Deregister() {
  handle_ = -1;
  source_ = nullptr;
}

}  // namespace quoril::platform
