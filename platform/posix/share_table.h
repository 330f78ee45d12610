// The sharing table of the process: Win32's share modes between the Files of this process,
// announced to other programs through open-file-description locks.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/files.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// A file's identity.
struct FileKey {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileKey&) const = default;
};

FileKey KeyOf(int fd);

// What the admitted handles of one file ask for and deny, counted, so that an open is judged
// in the same few steps however many handles the file has: a boot server's clients all
// read the same few files at once.
struct FileShares {
  std::uint32_t handles = 0;
  std::uint32_t readers = 0;      // handles with read access
  std::uint32_t writers = 0;      // handles with write access
  std::uint32_t denyReading = 0;  // handles that do not share reading
  std::uint32_t denyWriting = 0;  // handles that do not share writing
  // The one lock that announces to other programs what the handles of the file deny, held by
  // a descriptor of the table's own (a duplicate of the first such handle's) for as long as
  // one of them is open: each further handle neither takes a lock of its own nor, closing,
  // releases one, and the kernel's list of the file's locks stays one long.
  int lockHolder = -1;
  short lockType = F_UNLCK;
  std::uint32_t lockUsers = 0;
};

struct AdmittedHandle {
  FileKey key;
  std::uint32_t access;
  std::uint32_t share;
  bool usesSharedLock;
};

class ShareTable {
 public:
  // Admits the open file `fd` under the rules, or answers ERROR_SHARING_VIOLATION.
  Win32Error Admit(int fd, const struct stat& info, std::uint32_t access, std::uint32_t share,
                   FileUse use, std::uintptr_t& id);
  // Names that uploads are to create (File::OpenReplacement): every open of such a name meets
  // a file that exists and is held without sharing. Names match without regard to case, as
  // the walk matches them. Reserve fails when the name is reserved already.
  bool Reserve(const FileKey& directory, const std::string& name, std::uintptr_t& id);
  bool IsReserved(const FileKey& directory, const std::string& name);
  void Unreserve(std::uintptr_t id);
  // Closes `fd` and drops its entry together, so that no open sees the entry without the
  // lock or the lock without the entry.
  void CloseAndRelease(int fd, std::uintptr_t id);

 private:
  struct Reservation {
    FileKey directory;
    std::string name;
  };

  bool IsReservedLocked(const FileKey& directory, const std::string& name) const;

  std::mutex mutex_;
  std::map<FileKey, FileShares> files_;
  // The entry of each admitted handle, so that releasing it needs no look at the file.
  std::map<std::uintptr_t, AdmittedHandle> admitted_;
  std::map<std::uintptr_t, Reservation> reserved_;
  std::uintptr_t nextId_ = 1;
};

// Never destroyed: a transfer thread still running while the process ends may close its file.
ShareTable& Shares();

}  // namespace quoril::platform
