// The replacement files of uploads: written beside the file they replace, put in its place
// in one step by Commit, removed when the upload fails.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "platform/posix/error_mapping.h"
#include "platform/posix/file_open.h"
#include "platform/posix/share_table.h"

namespace quoril::platform {

namespace {

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

}  // namespace quoril::platform
