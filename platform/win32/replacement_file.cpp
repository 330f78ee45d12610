// The replacement files of uploads: written beside the file they replace, put in its place
// in one step by Commit, removed when the upload fails.
#include "platform/files.h"

#include "platform/win32/windows_headers.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/win32/file_open.h"
#include "platform/win32/handles.h"

namespace quoril::platform {

namespace {

// Creates the new file of an upload in the directory of `full`, unshared while it is
// written. Its name says what it is, should a crash leave it behind.
Win32Error CreateUploadFile(std::string_view full, UniqueHandle& file, std::string& name) {
  static std::atomic<std::uint32_t> counter{0};
  std::size_t end = full.size();
  while (end > 0 && !IsSeparator(full[end - 1])) --end;
  for (int attempt = 0; attempt < 8; ++attempt) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const std::uint32_t value = static_cast<std::uint32_t>(now.QuadPart) ^
                                (::GetCurrentProcessId() << 16) ^ counter.fetch_add(1);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "quoril-upload-%08x.tmp", static_cast<unsigned>(value));
    name.assign(full.substr(0, end));
    name += text.data();
    file = UniqueHandle(::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Valid()) return ERROR_SUCCESS;
    if (::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  const Win32Error error = ::GetLastError();
  name.clear();
  return error;
}

}  // namespace

// An upload's state: the target, held, and the new file's path. Released in every case; the
// new file is removed unless Commit put it in place.
struct File::Replacement {
  // Held without sharing while the upload runs. A target that did not exist is an empty
  // placeholder that the system removes when this handle closes, whatever ends the process.
  UniqueHandle target;
  bool existed = false;
  bool createNew = false;
  std::string path;    // the target's full path
  std::string upload;  // the new file's full path; empty once it is in place

  ~Replacement() {
    if (!upload.empty()) ::DeleteFileA(upload.c_str());
  }
};

void File::ReplacementDeleter::operator()(Replacement* replacement) const {
  std::default_delete<Replacement>()(replacement);
}

Win32Error File::OpenReplacement(const char* path, std::uint32_t disposition,
                                 const char* confineTo) {
  Close();
  Win32Error prepared = CheckOpenArguments(path, kGenericWrite, kShareNone, disposition);
  std::string full;
  std::string root;
  if (prepared == ERROR_SUCCESS) prepared = FullPathWithin(path, confineTo, full, root);
  if (prepared != ERROR_SUCCESS) return prepared;

  std::unique_ptr<Replacement, ReplacementDeleter> replacement(
      std::make_unique<Replacement>().release());
  replacement->createNew = disposition == kCreateNew;
  replacement->path = full;
  // The dispositions that create try that first, with the placeholder; the others, and those
  // that find the file there, open it as it is: nothing is emptied before the commit.
  UniqueHandle& target = replacement->target;
  if (disposition == kCreateNew || disposition == kCreateAlways || disposition == kOpenAlways) {
    target =
        UniqueHandle(::CreateFileA(full.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    const Win32Error error = target.Valid() ? ERROR_SUCCESS : ::GetLastError();
    if (error != ERROR_SUCCESS && (error != ERROR_FILE_EXISTS || disposition == kCreateNew)) {
      return error;
    }
  }
  if (!target.Valid()) {
    target = UniqueHandle(::CreateFileA(full.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target.Valid()) return ::GetLastError();
    replacement->existed = true;
  }

  if (!IsDiskFile(target.Get())) return ERROR_ACCESS_DENIED;
  if (confineTo != nullptr) {
    std::string final;
    if (FinalPathOf(target.Get(), final) != ERROR_SUCCESS || !LiesWithin(final, root)) {
      return ERROR_ACCESS_DENIED;
    }
  }

  UniqueHandle upload;
  if (const Win32Error error = CreateUploadFile(full, upload, replacement->upload);
      error != ERROR_SUCCESS) {
    return error;
  }
  handle_ = reinterpret_cast<std::intptr_t>(upload.Release());
  replacement_ = std::move(replacement);
  return ERROR_SUCCESS;
}

Win32Error File::Commit() {
  if (handle_ < 0 || !replacement_) return ERROR_INVALID_HANDLE;
  Replacement& replacement = *replacement_;
  Win32Error error = ERROR_SUCCESS;
  if (!::FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) error = ::GetLastError();
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  // The target is let go only now; a placeholder goes with it.
  replacement.target.Reset();
  if (error == ERROR_SUCCESS && replacement.existed) {
    // ReplaceFile gives the new file the replaced one's owner, security and attributes.
    if (!::ReplaceFileA(replacement.path.c_str(), replacement.upload.c_str(), nullptr, 0, nullptr,
                        nullptr)) {
      error = ::GetLastError();
    }
  } else if (error == ERROR_SUCCESS) {
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (replacement.createNew ? 0 : MOVEFILE_REPLACE_EXISTING);
    if (!::MoveFileExA(replacement.upload.c_str(), replacement.path.c_str(), flags)) {
      error = ::GetLastError();
      // A file that appeared meanwhile is not replaced under CREATE_NEW.
      if (error == ERROR_ALREADY_EXISTS) error = ERROR_FILE_EXISTS;
    }
  }
  if (error == ERROR_SUCCESS) replacement.upload.clear();
  Close();
  return error;
}

}  // namespace quoril::platform
