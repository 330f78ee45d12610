// HKEY_LOCAL_MACHINE as one REGEDIT4 text file under the system root. Every operation
// reads the file afresh; every change rewrites it whole through a temporary file and a
// rename, under a lock, so that readers (which take no lock) always see one complete file.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/posix/failure_detail.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/system_root.h"
#include "platform/posix/unique_fd.h"

namespace quoril::platform {

namespace {

constexpr char kRegistryDirectory[] = "etc/quoril";
constexpr char kRegistryFile[] = "etc/quoril/registry.reg";
constexpr char kLockFile[] = "etc/quoril/registry.reg.lock";
// Far beyond any registry this server keeps; a larger file is refused unread.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;

// Orders the writers of this process; flock orders them against other processes.
std::mutex gWriterMutex;
std::mutex gErrorMutex;
std::string gLastError;  // guarded by gErrorMutex

Win32Error NoteError(Win32Error error, std::string text) {
  NoteFailureDetail(text);
  std::lock_guard<std::mutex> guard(gErrorMutex);
  gLastError = std::move(text);
  return error;
}

std::string KeyName(const std::string& path) {
  return path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + path;
}

Win32Error NoteErrno(Win32Error otherwise, const std::string& path, const char* what,
                     int error = errno) {
  Win32Error result = otherwise;
  if (error == EACCES || error == EPERM || error == EROFS) result = ERROR_ACCESS_DENIED;
  if (error == ENOSPC || error == EDQUOT) result = ERROR_DISK_FULL;
  if (error == ENOMEM) result = ERROR_NOT_ENOUGH_MEMORY;
  return NoteError(result, path + ": " + what + ": " + std::strerror(error));
}

// A missing file is an empty registry; one that cannot be read or parsed is a failure.
Win32Error LoadDocument(RegistryDocument& document) {
  document = RegistryDocument{};
  std::string path = SystemRootPath(kRegistryFile);
  // O_NONBLOCK, so that a FIFO put in the file's place cannot hang the reader.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.Valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return ERROR_SUCCESS;
    return NoteErrno(ERROR_CANTOPEN, path, "cannot open");
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) return NoteErrno(ERROR_CANTREAD, path, "cannot read");
  if (!S_ISREG(info.st_mode)) {
    return NoteError(ERROR_REGISTRY_CORRUPT, path + ": not a regular file");
  }
  std::string text;
  std::array<char, 65536> chunk;
  for (;;) {
    ssize_t count = ::read(file.Get(), chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return NoteErrno(ERROR_CANTREAD, path, "cannot read");
    if (count == 0) break;
    if (text.size() + static_cast<std::size_t>(count) > static_cast<std::size_t>(kMaxFileSize)) {
      return NoteError(ERROR_REGISTRY_CORRUPT, path + ": larger than 16 MiB");
    }
    text.append(chunk.data(), static_cast<std::size_t>(count));
  }
  std::string reason;
  if (!ParseRegistryText(text, document, reason)) {
    return NoteError(ERROR_REGISTRY_CORRUPT, path + ": " + reason);
  }
  return ERROR_SUCCESS;
}

// Replaces the file whole, so that it is always either all old or all new.
Win32Error StoreDocument(const RegistryDocument& document) {
  std::string path = SystemRootPath(kRegistryFile);
  mode_t mode = 0644;
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
  const int error = WriteFileInOneStep(path, FormatRegistryText(document), mode, true);
  return error == 0 ? ERROR_SUCCESS : NoteErrno(ERROR_CANTWRITE, path, "cannot write", error);
}

// Held for a whole read-change-write, so that no change of another thread or process
// falls between the read and the rename.
class StoreLock {
 public:
  Win32Error Acquire() {
    if (Win32Error error = MakeSystemDirectory(kRegistryDirectory, 0755)) {
      return NoteError(error, SystemRootPath(kRegistryDirectory) +
                                  ": cannot create directory: " + DescribeError(error));
    }
    std::string path = SystemRootPath(kLockFile);
    file_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!file_.Valid()) return NoteErrno(ERROR_CANTOPEN, path, "cannot open the lock file");
    while (::flock(file_.Get(), LOCK_EX) != 0) {
      if (errno != EINTR) return NoteErrno(ERROR_CANTOPEN, path, "cannot lock");
    }
    return ERROR_SUCCESS;
  }

 private:
  std::lock_guard<std::mutex> guard_{gWriterMutex};
  UniqueFd file_;  // closing it releases the flock, before the mutex
};

// Reads the registry, lets `change` edit it and writes it back when it says it changed.
template <typename Change>
Win32Error ChangeStore(Change change) {
  StoreLock lock;
  if (Win32Error error = lock.Acquire()) return error;
  RegistryDocument document;
  if (Win32Error error = LoadDocument(document)) return error;
  bool changed = false;
  if (Win32Error error = change(document, changed)) return error;
  return changed ? StoreDocument(document) : ERROR_SUCCESS;
}

}  // namespace

Win32Error RegistryKey::Open(const char* subKey) {
  Close();
  ClearFailureDetail();
  std::string path;
  if (Win32Error error = NormalizeKeyPath(subKey ? subKey : "", path)) return error;
  RegistryDocument document;
  if (Win32Error error = LoadDocument(document)) return error;
  if (FindRegistryKey(document, path) == nullptr) {
    NoteFailureDetail(SystemRootPath(kRegistryFile) + ": no key " + KeyName(path));
    return ERROR_FILE_NOT_FOUND;
  }
  path_ = std::move(path);
  open_ = true;
  return ERROR_SUCCESS;
}

Win32Error RegistryKey::Create(const char* subKey) {
  Close();
  std::string path;
  if (Win32Error error = NormalizeKeyPath(subKey ? subKey : "", path)) return error;
  Win32Error error = ChangeStore([&](RegistryDocument& document, bool& changed) {
    CreateRegistryKey(document, path, changed);
    return ERROR_SUCCESS;
  });
  if (error != ERROR_SUCCESS) return error;
  path_ = std::move(path);
  open_ = true;
  return ERROR_SUCCESS;
}

void RegistryKey::Close() {
  open_ = false;
  path_.clear();
}

Win32Error RegistryKey::QueryValue(const char* name, std::span<std::uint8_t> buffer,
                                   std::uint32_t& size, std::uint32_t* type) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  ClearFailureDetail();
  RegistryDocument document;
  if (Win32Error error = LoadDocument(document)) return error;
  const RegistryKeyRecord* key = FindRegistryKey(document, path_);
  if (key == nullptr) return ERROR_KEY_DELETED;
  const std::string valueName = name ? name : "";
  const RegistryValueRecord* value = FindRegistryValue(*key, valueName);
  if (value == nullptr) {
    NoteFailureDetail(SystemRootPath(kRegistryFile) + ": no value \"" + valueName + "\" in " +
                      KeyName(path_));
    return ERROR_FILE_NOT_FOUND;
  }
  size = static_cast<std::uint32_t>(value->data.size());
  if (type != nullptr) *type = value->type;
  if (value->data.size() > buffer.size()) {
    NoteFailureDetail(SystemRootPath(kRegistryFile) + ": the value \"" + valueName + "\" of " +
                      KeyName(path_) + " has " + std::to_string(value->data.size()) +
                      " bytes, more than the " + std::to_string(buffer.size()) + " it may have");
    return ERROR_MORE_DATA;
  }
  std::ranges::copy(value->data, buffer.begin());
  return ERROR_SUCCESS;
}

Win32Error RegistryKey::SetValue(const char* name, std::uint32_t type,
                                 std::span<const std::uint8_t> data) {
  if (!open_) return ERROR_INVALID_HANDLE;
  std::string_view valueName = name ? name : "";
  if (!ValueNameIsStorable(valueName)) return ERROR_INVALID_PARAMETER;
  return ChangeStore([&](RegistryDocument& document, bool& changed) {
    RegistryKeyRecord* key = FindRegistryKey(document, path_);
    if (key == nullptr) return ERROR_KEY_DELETED;
    changed = SetRegistryValue(*key, valueName, type, data);
    return ERROR_SUCCESS;
  });
}

Win32Error RegistryKey::DeleteValue(const char* name) {
  if (!open_) return ERROR_INVALID_HANDLE;
  std::string_view valueName = name ? name : "";
  return ChangeStore([&](RegistryDocument& document, bool& changed) {
    RegistryKeyRecord* key = FindRegistryKey(document, path_);
    if (key == nullptr) return ERROR_KEY_DELETED;
    changed = DeleteRegistryValue(*key, valueName);
    return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

Win32Error RegistryKey::EnumValue(std::uint32_t index, std::string& name, std::uint32_t& type,
                                  std::vector<std::uint8_t>& data) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  RegistryDocument document;
  if (Win32Error error = LoadDocument(document)) return error;
  const RegistryKeyRecord* key = FindRegistryKey(document, path_);
  if (key == nullptr) return ERROR_KEY_DELETED;
  if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  const RegistryValueRecord& value = key->values[index];
  name = value.name;
  type = value.type;
  data = value.data;
  return ERROR_SUCCESS;
}

Win32Error RegistryKey::EnumKey(std::uint32_t index, std::string& name) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  RegistryDocument document;
  if (Win32Error error = LoadDocument(document)) return error;
  if (FindRegistryKey(document, path_) == nullptr) return ERROR_KEY_DELETED;
  const std::vector<const RegistryKeyRecord*> subkeys = DirectSubkeys(document, path_);
  if (index >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& path = subkeys[index]->path;
  name = path.substr(path.rfind('\\') + 1);
  return ERROR_SUCCESS;
}

Win32Error DeleteRegistryKey(const char* subKey) {
  std::string path;
  if (Win32Error error = NormalizeKeyPath(subKey ? subKey : "", path)) return error;
  // HKEY_LOCAL_MACHINE itself is never deleted.
  if (path.empty()) return ERROR_ACCESS_DENIED;
  return ChangeStore([&](RegistryDocument& document, bool& changed) {
    if (FindRegistryKey(document, path) == nullptr) return ERROR_FILE_NOT_FOUND;
    if (!DirectSubkeys(document, path).empty()) return ERROR_ACCESS_DENIED;
    document.keys.erase(FoldRegistryName(path));
    changed = true;
    return ERROR_SUCCESS;
  });
}

std::string LastRegistryError() {
  std::lock_guard<std::mutex> guard(gErrorMutex);
  return gLastError;
}

}  // namespace quoril::platform
