#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <compare>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/error_mapping.h"
#include "platform/posix/failure_detail.h"
#include "platform/posix/full_path.h"
#include "platform/posix/unique_fd.h"
#include "platform/service_manager.h"
#include "platform/strings.h"

namespace quoril::platform {

namespace {

// How often a symbolic link in the last position of a path is followed before the path
// counts as a loop; the kernel allows the same number.
constexpr int kMaxLinkHops = 40;
// How often an open starts over when the file appears or vanishes between looking and opening.
constexpr int kMaxOpenAttempts = 8;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The entry of `dir` that equals `name` but for ASCII case. Several such entries can exist on
// a case-sensitive file system; the smallest in byte order is taken so that the choice is
// the same on every call.
bool FindIgnoringCase(int dir, const std::string& name, std::string& match) {
  const int listFd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return false;
  std::unique_ptr<DIR, DirCloser> list(fdopendir(listFd));
  if (!list) {
    close(listFd);
    return false;
  }
  bool found = false;
  while (const dirent* entry = readdir(list.get())) {
    const std::string_view candidate(entry->d_name);
    if (candidate == name || !EqualIgnoringAsciiCase(candidate, name)) continue;
    if (!found || candidate < match) match = candidate;
    found = true;
  }
  return found;
}

bool IsDotOrDotDot(std::string_view name) {
  return name == "." || name == "..";
}

// The real path of an open descriptor, every symbolic link followed.
bool RealPathOf(int fd, std::string& path) {
  std::array<char, 32> link{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", fd);
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlink(link.data(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
  path.assign(target.data(), static_cast<std::size_t>(length));
  return path.front() == '/';
}

// Whether the real path `path` is `root` or lies below it. A plain prefix test would let
// /srv/tftpdata pass for /srv/tftp.
bool LiesWithin(std::string_view path, std::string_view root) {
  if (root == "/") return !path.empty() && path.front() == '/';
  if (!path.starts_with(root)) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

// Where the last component of a path lives: the directory that holds it, opened, and its
// name there. An empty name stands for that directory itself.
struct Location {
  UniqueFd dir;
  std::string name;
};

// Opens the directory `name` inside `dir`, following symbolic links, matching the name
// without regard to case when it does not exist as written. A missing or unusable directory
// is ERROR_PATH_NOT_FOUND, as Win32 says for every component but the last.
Win32Error OpenSubdirectory(int dir, const std::string& name, UniqueFd& out) {
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  out = UniqueFd(openat(dir, name.c_str(), kFlags));
  if (!out.Valid() && errno == ENOENT && !IsDotOrDotDot(name)) {
    std::string match;
    if (FindIgnoringCase(dir, name, match)) {
      out = UniqueFd(openat(dir, match.c_str(), kFlags));
    } else {
      errno = ENOENT;
    }
  }
  if (out.Valid()) return ERROR_SUCCESS;
  const int err = errno;
  return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err);
}

// Walks every directory of `path` but the last component, starting at `start` (or at the
// root for an absolute path).
Win32Error WalkToLast(UniqueFd start, std::string_view path, Location& out) {
  UniqueFd dir = std::move(start);
  if (path.starts_with('/') || !dir.Valid()) {
    dir = UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) return Win32ErrorFromErrno(errno);
  }
  std::string pending;
  std::size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && path[pos] == '/') ++pos;
    if (pos >= path.size()) break;
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    if (!pending.empty()) {
      UniqueFd next;
      if (const Win32Error error = OpenSubdirectory(dir.Get(), pending, next);
          error != ERROR_SUCCESS) {
        return error;
      }
      dir = std::move(next);
    }
    pending.assign(path.substr(pos, end - pos));
    pos = end;
  }
  // A trailing separator asks for a directory: the last component is walked like the rest.
  if (!pending.empty() && path.ends_with('/')) {
    UniqueFd next;
    if (const Win32Error error = OpenSubdirectory(dir.Get(), pending, next);
        error != ERROR_SUCCESS) {
      return error;
    }
    dir = std::move(next);
    pending.clear();
  }
  out.dir = std::move(dir);
  out.name = std::move(pending);
  return ERROR_SUCCESS;
}

enum class Found { kMissing, kDirectory, kEntry };

// Settles the last component of `where`: matches it without regard to case when it does not
// exist as written, and follows it while it is a symbolic link, so that afterwards `where`
// names the real entry (or where a new one would be created) and `info` describes it.
Win32Error SettleLast(Location& where, Found& found, struct stat& info) {
  for (int hops = 0;; ++hops) {
    if (where.name.empty() || IsDotOrDotDot(where.name)) {
      found = Found::kDirectory;
      return ERROR_SUCCESS;
    }
    if (fstatat(where.dir.Get(), where.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      const int err = errno;
      if (err != ENOENT) return Win32ErrorFromErrno(err);
      std::string match;
      if (!FindIgnoringCase(where.dir.Get(), where.name, match)) {
        found = Found::kMissing;
        return ERROR_SUCCESS;
      }
      where.name = std::move(match);
      continue;
    }
    if (!S_ISLNK(info.st_mode)) {
      found = S_ISDIR(info.st_mode) ? Found::kDirectory : Found::kEntry;
      return ERROR_SUCCESS;
    }
    if (hops >= kMaxLinkHops) return ERROR_PATH_NOT_FOUND;
    std::array<char, PATH_MAX> target{};
    const ssize_t length =
        readlinkat(where.dir.Get(), where.name.c_str(), target.data(), target.size());
    if (length < 0) {
      // No longer a link, or gone, since it was looked at: looked at again.
      if (errno == EINVAL || errno == ENOENT) continue;
      return Win32ErrorFromErrno(errno);
    }
    if (static_cast<std::size_t>(length) >= target.size()) return ERROR_FILENAME_EXCED_RANGE;
    if (length == 0) return ERROR_PATH_NOT_FOUND;
    const std::string link(target.data(), static_cast<std::size_t>(length));
    Location next;
    if (const Win32Error error = WalkToLast(std::move(where.dir), link, next);
        error != ERROR_SUCCESS) {
      return error;
    }
    where = std::move(next);
  }
}

// Opens the directory that `path` names, with SetCurrentDirectoryA's answers: a missing last
// component is ERROR_FILE_NOT_FOUND, one that is no directory ERROR_DIRECTORY. `full` is the
// full path formed from `path`.
// Walks to the last component of `full` and looks at what stands there.
Win32Error WalkAndSettle(const std::string& full, Location& where, Found& found,
                         struct stat& info) {
  if (const Win32Error error = WalkToLast(UniqueFd(), full, where); error != ERROR_SUCCESS) {
    return error;
  }
  return SettleLast(where, found, info);
}

Win32Error OpenDirectory(const char* path, UniqueFd& out, std::string& full) {
  if (const Win32Error error = FormFullPath(path, full); error != ERROR_SUCCESS) return error;
  if (full.size() >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  // Where every component exists as written, the kernel's own resolution finds the same
  // directory as the walk below, in one call.
  out = UniqueFd(open(full.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (out.Valid()) return ERROR_SUCCESS;
  Location where;
  Found found = Found::kMissing;
  struct stat info {};
  if (const Win32Error error = WalkAndSettle(full, where, found, info); error != ERROR_SUCCESS) {
    return error;
  }
  if (found == Found::kMissing) return ERROR_FILE_NOT_FOUND;
  if (found == Found::kEntry) return ERROR_DIRECTORY;
  if (where.name.empty()) {
    out = std::move(where.dir);
    return ERROR_SUCCESS;
  }
  out = UniqueFd(openat(where.dir.Get(), where.name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (out.Valid()) return ERROR_SUCCESS;
  const int err = errno;
  return err == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(err);
}

// The sharing rules of the process, per file, keyed by the file's identity.
struct FileKey {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileKey&) const = default;
};

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

class ShareTable {
 public:
  // Admits the open file `fd` under the rules, or answers ERROR_SHARING_VIOLATION.
  Win32Error Admit(int fd, const struct stat& info, std::uint32_t access, std::uint32_t share,
                   FileUse use, std::uintptr_t& id) {
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

  // Names that uploads are to create (File::OpenReplacement): every open of such a name meets
  // a file that exists and is held without sharing. Names match without regard to case, as
  // the walk matches them. Reserve fails when the name is reserved already.
  bool Reserve(const FileKey& directory, const std::string& name, std::uintptr_t& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (IsReservedLocked(directory, name)) return false;
    id = nextId_++;
    reserved_.emplace(id, Reservation{directory, name});
    return true;
  }
  bool IsReserved(const FileKey& directory, const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    return IsReservedLocked(directory, name);
  }
  void Unreserve(std::uintptr_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    reserved_.erase(id);
  }

  // Closes `fd` and drops its entry together, so that no open sees the entry without the
  // lock or the lock without the entry.
  void CloseAndRelease(int fd, std::uintptr_t id) {
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

 private:
  struct Reservation {
    FileKey directory;
    std::string name;
  };

  // A handful of uploads run at once: a look at each is cheap.
  bool IsReservedLocked(const FileKey& directory, const std::string& name) const {
    for (const auto& [id, reservation] : reserved_) {
      if (reservation.directory == directory && EqualIgnoringAsciiCase(reservation.name, name)) {
        return true;
      }
    }
    return false;
  }

  std::mutex mutex_;
  std::map<FileKey, FileShares> files_;
  // The entry of each admitted handle, so that releasing it needs no look at the file.
  std::map<std::uintptr_t, AdmittedHandle> admitted_;
  std::map<std::uintptr_t, Reservation> reserved_;
  std::uintptr_t nextId_ = 1;
};

// Never destroyed: a transfer thread still running while the process ends may close its file.
ShareTable& Shares() {
  alignas(ShareTable) static unsigned char storage[sizeof(ShareTable)];
  static ShareTable* const table = ::new (storage) ShareTable();
  return *table;
}

// O_NONBLOCK keeps the open from blocking should a FIFO take the file's place between looking
// and opening; it stays set, as it changes nothing for the regular files that are kept.
int OpenFlags(std::uint32_t access) {
  int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
  if ((access & kGenericRead) && (access & kGenericWrite)) {
    flags |= O_RDWR;
  } else if (access & kGenericWrite) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  return flags;
}

// Resolves the confining directory to its real path.
Win32Error RealConfinement(const char* confineTo, std::string& root) {
  UniqueFd dir;
  std::string full;
  if (OpenDirectory(confineTo, dir, full) != ERROR_SUCCESS || !RealPathOf(dir.Get(), root)) {
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

// The common case in few calls: an existing regular file whose path exists as written, its
// last component no symbolic link. The kernel's resolution then finds what the walk would.
// Anything else (a name in another case, a link at the end, no regular file, any failure) is
// left to the walk, which gives the answers. With a confinement the directory is opened and
// checked first and the file opened in it, so that nothing outside is opened here either.
bool OpenDirect(const std::string& full, std::uint32_t access, const std::string& root,
                UniqueFd& fd) {
  if (full.size() < 2 || full.back() == '/') return false;
  const std::size_t slash = full.rfind('/');
  int dirFd = AT_FDCWD;
  const char* name = full.c_str();
  UniqueFd dir;
  if (!root.empty()) {
    const std::string parent = slash == 0 ? std::string("/") : full.substr(0, slash);
    dir = UniqueFd(open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string real;
    if (!dir.Valid() || !RealPathOf(dir.Get(), real) || !LiesWithin(real, root)) return false;
    dirFd = dir.Get();
    name = full.c_str() + slash + 1;
  }
  // Looked at before opening: opening a device or FIFO can have effects.
  struct stat info {};
  if (fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  fd = UniqueFd(openat(dirFd, name, OpenFlags(access)));
  return fd.Valid();
}

// What was opened, not what was looked at, decides: a regular file, inside the confinement.
Win32Error CheckOpened(int fd, const std::string& root, struct stat& opened) {
  if (fstat(fd, &opened) != 0) return Win32ErrorFromErrno(errno);
  if (!S_ISREG(opened.st_mode)) return ERROR_ACCESS_DENIED;
  std::string real;
  if (!root.empty() && (!RealPathOf(fd, real) || !LiesWithin(real, root))) {
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

// What the walk found for an open: the directory that holds the file and the file's real name
// there, and the file itself, opened, unless it is missing and was not to be created.
struct Walked {
  Location where;
  UniqueFd fd;
  struct stat opened {};
  bool created = false;
};

FileKey KeyOf(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return {};
  return {info.st_dev, info.st_ino};
}

// Opens `full` by walking it, with Open's answers. A missing file is created only when
// `create` is set; otherwise `out.fd` stays empty and `out.where` says where it would be.
Win32Error OpenByWalk(const std::string& full, std::uint32_t access, std::uint32_t disposition,
                      const std::string& root, bool create, Walked& out, mode_t createMode = 0666) {
  // Starts over when the entry appears, vanishes or changes between looking and opening.
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    Location where;
    Found found = Found::kMissing;
    struct stat info {};
    if (const Win32Error error = WalkAndSettle(full, where, found, info); error != ERROR_SUCCESS) {
      return error;
    }
    std::string real;
    if (!root.empty() && (!RealPathOf(where.dir.Get(), real) || !LiesWithin(real, root))) {
      return ERROR_ACCESS_DENIED;
    }

    UniqueFd fd;
    bool created = false;
    if (found == Found::kDirectory) {
      return disposition == kCreateNew ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
    } else if (found == Found::kEntry) {
      if (disposition == kCreateNew) return ERROR_FILE_EXISTS;
      // Devices, FIFOs and sockets are never opened: opening some of them has effects.
      if (!S_ISREG(info.st_mode)) return ERROR_ACCESS_DENIED;
      fd = UniqueFd(openat(where.dir.Get(), where.name.c_str(), OpenFlags(access)));
      if (!fd.Valid()) {
        const int err = errno;
        if (err == ENOENT || err == ELOOP) continue;
        return err == ENXIO ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err);
      }
    } else {
      // A file that an upload is about to create exists, held without sharing, for the rest.
      if (Shares().IsReserved(KeyOf(where.dir.Get()), where.name)) {
        return disposition == kCreateNew ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION;
      }
      if (disposition == kOpenExisting || disposition == kTruncateExisting) {
        return ERROR_FILE_NOT_FOUND;
      }
      if (!create) {
        out.where = std::move(where);
        return ERROR_SUCCESS;
      }
      fd = UniqueFd(openat(where.dir.Get(), where.name.c_str(),
                           OpenFlags(access) | O_CREAT | O_EXCL, createMode));
      if (!fd.Valid()) {
        const int err = errno;
        if (err == EEXIST) continue;
        return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err);
      }
      created = true;
    }

    struct stat opened {};
    if (const Win32Error error = CheckOpened(fd.Get(), root, opened); error != ERROR_SUCCESS) {
      if (created && error == ERROR_ACCESS_DENIED) unlinkat(where.dir.Get(), where.name.c_str(), 0);
      return error;
    }
    out.where = std::move(where);
    out.fd = std::move(fd);
    out.opened = opened;
    out.created = created;
    return ERROR_SUCCESS;
  }
  return ERROR_SHARING_VIOLATION;
}

// Creates the new file of an upload in `dir`. Its name says what it is, should a crash leave
// it behind, and is not to be guessed, so that nobody can take it beforehand.
Win32Error CreateUploadFile(int dir, UniqueFd& fd, std::string& name) {
  static std::atomic<std::uint32_t> counter{0};
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    std::uint32_t value = 0;
    if (getrandom(&value, sizeof(value), GRND_NONBLOCK) != sizeof(value)) {
      value = (static_cast<std::uint32_t>(getpid()) << 12) ^ counter.fetch_add(1);
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "quoril-upload-%08x.tmp", value);
    fd = UniqueFd(openat(dir, text.data(), OpenFlags(kGenericWrite) | O_CREAT | O_EXCL, 0666));
    if (fd.Valid()) {
      name = text.data();
      return ERROR_SUCCESS;
    }
    const int err = errno;
    if (err != EEXIST) return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err);
  }
  return ERROR_FILE_EXISTS;
}

// The replaced file's owner and permissions go to its successor. The owner only where the
// service may give it (else at least the group); the set-id bits not at all, as a write
// would have cleared them.
Win32Error CarryOverOwnership(int from, int to) {
  struct stat old {};
  if (fstat(from, &old) != 0) return Win32ErrorFromErrno(errno);
  if (fchown(to, old.st_uid, old.st_gid) != 0 &&
      fchown(to, static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Neither: the file is the service's, as every file it creates.
  }
  if (fchmod(to, old.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO)) != 0) {
    return Win32ErrorFromErrno(errno);
  }
  return ERROR_SUCCESS;
}

}  // namespace

// An upload's state: where its new file lies and what it replaces. Released in every case;
// the new file is removed unless Commit put it in place.
struct File::Replacement {
  UniqueFd directory;              // holds the target and the new file
  std::string name;                // the target's real name in `directory`
  std::string upload;              // the new file's name there; empty once it is in place
  File target;                     // the target, held as Open holds it, when it exists
  std::uintptr_t reservation = 0;  // else its name, reserved
  bool createNew = false;

  ~Replacement() {
    if (!upload.empty()) unlinkat(directory.Get(), upload.c_str(), 0);
    if (reservation != 0) Shares().Unreserve(reservation);
  }

  // Renames the new file over the target (CREATE_NEW: only where nothing is).
  Win32Error PutInPlace() {
    const int dir = directory.Get();
    if (!createNew) {
      if (renameat(dir, upload.c_str(), dir, name.c_str()) != 0) return Win32ErrorFromErrno(errno);
    } else if (renameat2(dir, upload.c_str(), dir, name.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno != EINVAL && errno != ENOSYS) return Win32ErrorFromErrno(errno);
      // A file system without that kind of rename: a link fails just as well on a file that
      // is there.
      if (linkat(dir, upload.c_str(), dir, name.c_str(), 0) != 0) return Win32ErrorFromErrno(errno);
      unlinkat(dir, upload.c_str(), 0);
    }
    upload.clear();
    // The rename itself reaches the disk with the directory.
    const UniqueFd synced(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (synced.Valid()) fsync(synced.Get());
    return ERROR_SUCCESS;
  }
};

void File::ReplacementDeleter::operator()(Replacement* replacement) const {
  std::default_delete<Replacement>()(replacement);
}

File::~File() {
  Close();
}

void File::Close() {
  if (handle_ >= 0) Shares().CloseAndRelease(static_cast<int>(handle_), shareEntry_);
  handle_ = -1;
  shareEntry_ = 0;
  replacement_.reset();
}

namespace {

// What every open checks first: the arguments, the full path and its length, and the real
// path of the confinement directory (empty without one).
Win32Error PrepareOpen(const char* path, std::uint32_t access, std::uint32_t share,
                       std::uint32_t disposition, const char* confineTo, std::string& full,
                       std::string& root) {
  if (const Win32Error error = CheckOpenArguments(path, access, share, disposition);
      error != ERROR_SUCCESS) {
    return error;
  }
  if (const Win32Error error = FormFullPath(path, full); error != ERROR_SUCCESS) return error;
  if (full.size() >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  if (confineTo == nullptr) return ERROR_SUCCESS;
  return RealConfinement(confineTo, root);
}

}  // namespace

Win32Error File::Open(const char* path, std::uint32_t access, std::uint32_t share,
                      std::uint32_t disposition, const char* confineTo, bool* alreadyExisted,
                      FileUse use) {
  Close();
  // Whatever an earlier step noted is not why this open fails.
  if (use == FileUse::kServiceOwn) ClearFailureDetail();
  if (alreadyExisted != nullptr) *alreadyExisted = false;
  std::string full;
  std::string root;
  if (const Win32Error error = PrepareOpen(path, access, share, disposition, confineTo, full, root);
      error != ERROR_SUCCESS) {
    return error;
  }

  // Admits the file opened under the sharing rules and only then empties it.
  const auto admit = [&](UniqueFd fd, const struct stat& opened, bool created) -> Win32Error {
    std::uintptr_t entry = 0;
    if (const Win32Error error = Shares().Admit(fd.Get(), opened, access, share, use, entry);
        error != ERROR_SUCCESS) {
      return error;
    }
    handle_ = fd.Release();
    shareEntry_ = entry;
    // The service's own file is only ever appended to: each write lands at the end even
    // after another program shortened the file (a log rotation's copy and truncation).
    if (use == FileUse::kServiceOwn && (access & kGenericWrite) != 0) {
      const int flags = fcntl(static_cast<int>(handle_), F_GETFL);
      if (flags < 0 || fcntl(static_cast<int>(handle_), F_SETFL, flags | O_APPEND) != 0) {
        const Win32Error error = Win32ErrorFromErrno(errno);
        Close();
        return error;
      }
    }
    if (!created && (disposition == kCreateAlways || disposition == kTruncateExisting)) {
      if (ftruncate(static_cast<int>(handle_), 0) != 0) {
        const Win32Error error = Win32ErrorFromErrno(errno);
        Close();
        return error;
      }
    }
    if (alreadyExisted != nullptr) {
      *alreadyExisted = !created && (disposition == kCreateAlways || disposition == kOpenAlways);
    }
    return ERROR_SUCCESS;
  };

  if (disposition != kCreateNew) {
    UniqueFd fd;
    if (OpenDirect(full, access, root, fd)) {
      struct stat opened {};
      if (const Win32Error error = CheckOpened(fd.Get(), root, opened); error != ERROR_SUCCESS) {
        return error;
      }
      return admit(std::move(fd), opened, false);
    }
  }

  Walked walked;
  if (const Win32Error error = OpenByWalk(full, access, disposition, root, true, walked,
                                          use == FileUse::kServiceOwn ? 0600 : 0666);
      error != ERROR_SUCCESS) {
    return error;
  }
  return admit(std::move(walked.fd), walked.opened, walked.created);
}

Win32Error File::OpenReplacement(const char* path, std::uint32_t disposition,
                                 const char* confineTo) {
  Close();
  std::string full;
  std::string root;
  if (const Win32Error error =
          PrepareOpen(path, kGenericWrite, kShareNone, disposition, confineTo, full, root);
      error != ERROR_SUCCESS) {
    return error;
  }

  Walked walked;
  if (const Win32Error error = OpenByWalk(full, kGenericWrite, disposition, root, false, walked);
      error != ERROR_SUCCESS) {
    return error;
  }
  std::unique_ptr<Replacement, ReplacementDeleter> replacement(
      std::make_unique<Replacement>().release());
  replacement->createNew = disposition == kCreateNew;
  // The target is held, or its name reserved, for as long as the upload runs: every other
  // open meets what it met when the upload wrote into the target itself.
  if (walked.fd.Valid()) {
    std::uintptr_t entry = 0;
    if (const Win32Error error = Shares().Admit(walked.fd.Get(), walked.opened, kGenericWrite,
                                                kShareNone, FileUse::kTransfer, entry);
        error != ERROR_SUCCESS) {
      return error;
    }
    replacement->target.handle_ = walked.fd.Release();
    replacement->target.shareEntry_ = entry;
  } else if (!Shares().Reserve(KeyOf(walked.where.dir.Get()), walked.where.name,
                               replacement->reservation)) {
    return disposition == kCreateNew ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION;
  }
  replacement->directory = std::move(walked.where.dir);
  replacement->name = std::move(walked.where.name);

  UniqueFd upload;
  if (const Win32Error error =
          CreateUploadFile(replacement->directory.Get(), upload, replacement->upload);
      error != ERROR_SUCCESS) {
    return error;
  }
  // The new file meets the sharing rules too: nobody reads it half written.
  struct stat opened {};
  std::uintptr_t entry = 0;
  if (fstat(upload.Get(), &opened) != 0) return Win32ErrorFromErrno(errno);
  if (const Win32Error error = Shares().Admit(upload.Get(), opened, kGenericWrite, kShareNone,
                                              FileUse::kTransfer, entry);
      error != ERROR_SUCCESS) {
    return error;
  }
  handle_ = upload.Release();
  shareEntry_ = entry;
  replacement_ = std::move(replacement);
  return ERROR_SUCCESS;
}

Win32Error File::Commit() {
  if (handle_ < 0 || !replacement_) return ERROR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle_);
  Win32Error error = ERROR_SUCCESS;
  if (replacement_->target.IsOpen()) {
    error = CarryOverOwnership(static_cast<int>(replacement_->target.handle_), fd);
  }
  if (error == ERROR_SUCCESS && fsync(fd) != 0) error = Win32ErrorFromErrno(errno);
  if (error == ERROR_SUCCESS) error = replacement_->PutInPlace();
  Close();
  return error;
}

Win32Error File::Read(std::span<std::uint8_t> buffer, std::size_t& bytesRead) {
  bytesRead = 0;
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  for (;;) {
    const ssize_t count = read(static_cast<int>(handle_), buffer.data(), buffer.size());
    if (count >= 0) {
      bytesRead = static_cast<std::size_t>(count);
      return ERROR_SUCCESS;
    }
    if (errno == EINTR) continue;
    // A descriptor that is open but refuses reading was opened without read access.
    return errno == EBADF ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
  }
}

Win32Error File::ReadAt(std::span<std::uint8_t> buffer, std::uint64_t offset,
                        std::size_t& bytesRead) {
  bytesRead = 0;
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return ERROR_INVALID_PARAMETER;
  }
  for (;;) {
    const ssize_t count =
        pread(static_cast<int>(handle_), buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (count >= 0) {
      bytesRead = static_cast<std::size_t>(count);
      return ERROR_SUCCESS;
    }
    if (errno == EINTR) continue;
    return errno == EBADF ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
  }
}

namespace {

// Writes all of `data` with `writeOnce` (one system call, answering its count or -1 with errno),
// again after a short write or an interruption.
template <class WriteOnce>
Win32Error WriteWhole(std::span<const std::uint8_t> data, WriteOnce writeOnce) {
  while (!data.empty()) {
    const ssize_t count = writeOnce(data);
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno == EBADF ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
    }
    // A write that stores nothing without an error has no room left.
    if (count == 0) return ERROR_DISK_FULL;
    data = data.subspan(static_cast<std::size_t>(count));
  }
  return ERROR_SUCCESS;
}

}  // namespace

Win32Error File::Write(std::span<const std::uint8_t> data) {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle_);
  return WriteWhole(data, [fd](std::span<const std::uint8_t> rest) {
    return write(fd, rest.data(), rest.size());
  });
}

Win32Error File::SeekToEnd() {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  if (lseek(static_cast<int>(handle_), 0, SEEK_END) < 0) return Win32ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

Win32Error File::Size(std::uint64_t& size) const {
  size = 0;
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  struct stat info {};
  if (fstat(static_cast<int>(handle_), &info) != 0) return Win32ErrorFromErrno(errno);
  size = static_cast<std::uint64_t>(info.st_size);
  return ERROR_SUCCESS;
}

Win32Error GetDiskFreeSpace(const char* path, std::uint64_t& freeBytes) {
  freeBytes = 0;
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  // The file's directory, or the nearest one above it that exists: a directory that a
  // request names in another case than the disk does is found by Open, not by statvfs.
  std::string directory(path);
  for (;;) {
    const std::size_t slash = directory.find_last_of('/');
    if (slash == std::string::npos) {
      directory = ".";
    } else {
      directory.resize(slash == 0 ? 1 : slash);
    }
    struct statvfs info {};
    if (statvfs(directory.c_str(), &info) == 0) {
      freeBytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
      return ERROR_SUCCESS;
    }
    const int error = errno;
    if ((error != ENOENT && error != ENOTDIR) || directory == "/" || directory == ".") {
      return Win32ErrorFromErrno(error);
    }
  }
}

Win32Error File::Append(std::span<const std::uint8_t> data) {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle_);
  return WriteWhole(data, [fd](std::span<const std::uint8_t> rest) -> ssize_t {
    iovec piece{const_cast<std::uint8_t*>(rest.data()), rest.size()};
    const ssize_t count = pwritev2(fd, &piece, 1, -1, RWF_APPEND);
    if (count >= 0 || (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)) return count;
    // Kernels before 4.16: the descriptor appends from now on.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_APPEND) != 0) return -1;
    return write(fd, rest.data(), rest.size());
  });
}

Win32Error CheckDirectory(const char* path) {
  UniqueFd dir;
  std::string full;
  return OpenDirectory(path, dir, full);
}

Win32Error SetCurrentDirectory(const char* path) {
  ClearFailureDetail();
  UniqueFd dir;
  std::string full;
  Win32Error error = OpenDirectory(path, dir, full);
  if (error == ERROR_SUCCESS) error = ChangeCurrentDirectory(dir.Release(), full);
  if (error != ERROR_SUCCESS) {
    // A directory that the service's sandbox hides looks missing or forbidden: say why.
    const std::string sandbox = ServiceSandboxNote(path);
    NoteFailureDetail("cannot serve the directory " + std::string(path != nullptr ? path : "") +
                      ": " + DescribeError(error) + (sandbox.empty() ? "" : "; " + sandbox));
  }
  return error;
}

Win32Error GetModuleFileName(std::span<char> buffer, std::uint32_t& length) {
  length = 0;
  std::array<char, PATH_MAX> target{};
  const ssize_t count = readlink("/proc/self/exe", target.data(), target.size());
  if (count < 0) return Win32ErrorFromErrno(errno);
  const std::string_view name(target.data(), static_cast<std::size_t>(count));
  if (static_cast<std::size_t>(count) >= target.size()) return ERROR_FILENAME_EXCED_RANGE;
  // As GetModuleFileNameA: a name that does not fit is cut to the buffer, terminated, and
  // reported as ERROR_INSUFFICIENT_BUFFER with the buffer's size as the length.
  if (name.size() < buffer.size()) {
    std::memcpy(buffer.data(), name.data(), name.size());
    buffer[name.size()] = '\0';
    length = static_cast<std::uint32_t>(name.size());
    return ERROR_SUCCESS;
  }
  if (!buffer.empty()) {
    std::memcpy(buffer.data(), name.data(), buffer.size() - 1);
    buffer[buffer.size() - 1] = '\0';
  }
  length = static_cast<std::uint32_t>(buffer.size());
  return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace quoril::platform
