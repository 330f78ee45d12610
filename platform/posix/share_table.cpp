#include "platform/posix/share_table.h"

#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/strings.h"

namespace quoril::platform {

namespace {

// The Win32 rule: an open is refused when it asks for access that an existing handle does
// not share, or shares less than an existing handle already uses.
bool SharingConflicts(const FileShares& existing, std::uint32_t access, std::uint32_t share) {
  if ((access & kGenericRead) && existing.denyReading > 0) return true;
  if ((access & kGenericWrite) && existing.denyWriting > 0) return true;
  if (existing.readers > 0 && !(share & kShareRead)) return true;
  if (existing.writers > 0 && !(share & kShareWrite)) return true;
  return false;
}

// The lock that announces to other programs that lock what a handle denies (F_UNLCK for
// none). Only what a lock can say without denying more than the share mode does: a write lock
// when nothing is shared, a read lock when reading is shared but writing is not. So every lock
// conflict between two handles of this process is also a conflict of their share modes.
short DenyingLock(std::uint32_t access, std::uint32_t share) {
  if ((share & (kShareRead | kShareWrite)) == 0) {
    return (access & kGenericWrite) ? F_WRLCK : F_RDLCK;
  }
  if (!(share & kShareWrite) && (access & kGenericRead)) return F_RDLCK;
  return F_UNLCK;
}

// Whether a lock that another program holds on `fd`'s file denies `access`, and if not, takes
// the lock `type` that announces what this handle denies. Any error but a conflict (a file
// system without locks) counts as no conflict.
bool OthersDeny(int fd, std::uint32_t access, short type) {
  const short probe = (access & kGenericWrite) ? F_WRLCK : F_RDLCK;
  // Taking a lock at least as strong as the probe fails on every lock the probe would find,
  // so the probe is only asked when no lock or a weaker one is taken.
  if (type == F_UNLCK || (type == F_RDLCK && probe == F_WRLCK)) {
    struct flock query {};
    query.l_type = probe;
    query.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK) return true;
  }
  if (type == F_UNLCK) return false;
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return false;
  return errno == EAGAIN || errno == EACCES;
}

}  // namespace

FileKey KeyOf(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return {};
  return {info.st_dev, info.st_ino};
}

Win32Error ShareTable::Admit(int fd, const struct stat& info, std::uint32_t access,
                             std::uint32_t share, FileUse use, std::uintptr_t& id) {
  const FileKey key{info.st_dev, info.st_ino};
  std::lock_guard<std::mutex> guard(mutex_);
  FileShares& file = files_[key];
  const short type = DenyingLock(access, share);
  bool usesSharedLock = false;
  Win32Error error = ERROR_SUCCESS;
  if (SharingConflicts(file, access, share)) {
    error = ERROR_SHARING_VIOLATION;
  } else if (type != F_UNLCK && type == file.lockType) {
    // The file's lock says all this handle denies already. No program took a conflicting
    // lock since: the file's lock would have refused it.
    usesSharedLock = true;
  } else if (OthersDeny(fd, access, type)) {
    // Neither refused nor locked: a file of the service's own opens whatever others hold.
    if (use == FileUse::kTransfer) error = ERROR_SHARING_VIOLATION;
  } else if (type != F_UNLCK && file.lockType == F_UNLCK) {
    // The lock stays with the duplicate when this handle closes. Without a descriptor to
    // spare, the handle keeps the lock it took on its own.
    const int holder = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (holder >= 0) {
      file.lockHolder = holder;
      file.lockType = type;
      usesSharedLock = true;
    }
  }
  if (error != ERROR_SUCCESS) {
    if (file.handles == 0) files_.erase(key);
    return error;
  }
  ++file.handles;
  if (access & kGenericRead) ++file.readers;
  if (access & kGenericWrite) ++file.writers;
  if (!(share & kShareRead)) ++file.denyReading;
  if (!(share & kShareWrite)) ++file.denyWriting;
  if (usesSharedLock) ++file.lockUsers;
  id = nextId_++;
  admitted_.emplace(id, AdmittedHandle{key, access, share, usesSharedLock});
  return ERROR_SUCCESS;
}

bool ShareTable::Reserve(const FileKey& directory, const std::string& name, std::uintptr_t& id) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (IsReservedLocked(directory, name)) return false;
  id = nextId_++;
  reserved_.emplace(id, Reservation{directory, name});
  return true;
}

bool ShareTable::IsReserved(const FileKey& directory, const std::string& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  return IsReservedLocked(directory, name);
}

void ShareTable::Unreserve(std::uintptr_t id) {
  std::lock_guard<std::mutex> guard(mutex_);
  reserved_.erase(id);
}

void ShareTable::CloseAndRelease(int fd, std::uintptr_t id) {
  std::lock_guard<std::mutex> guard(mutex_);
  close(fd);
  const auto handle = admitted_.find(id);
  if (handle == admitted_.end()) return;
  const auto file = files_.find(handle->second.key);
  if (file != files_.end()) {
    FileShares& shares = file->second;
    const AdmittedHandle& admitted = handle->second;
    --shares.handles;
    if (admitted.access & kGenericRead) --shares.readers;
    if (admitted.access & kGenericWrite) --shares.writers;
    if (!(admitted.share & kShareRead)) --shares.denyReading;
    if (!(admitted.share & kShareWrite)) --shares.denyWriting;
    if (admitted.usesSharedLock && --shares.lockUsers == 0) {
      close(shares.lockHolder);
      shares.lockHolder = -1;
      shares.lockType = F_UNLCK;
    }
    if (shares.handles == 0) files_.erase(file);
  }
  admitted_.erase(handle);
}

// A handful of uploads run at once: a look at each is cheap.
bool ShareTable::IsReservedLocked(const FileKey& directory, const std::string& name) const {
  return std::ranges::any_of(reserved_, [&](const auto& entry) {
    return entry.second.directory == directory && EqualIgnoringAsciiCase(entry.second.name, name);
  });
}

ShareTable& Shares() {
  alignas(ShareTable) static unsigned char storage[sizeof(ShareTable)];
  static ShareTable* const table = ::new (storage) ShareTable();
  return *table;
}

}  // namespace quoril::platform
