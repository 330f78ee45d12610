#include "config/appended_file.h"

#include <cstdint>
#include <span>

namespace quoril {

Win32Error AppendedFile::Open(const char* fullPath, bool& existed) {
  platform::File file;
  const Win32Error error =
      file.Open(fullPath, platform::kGenericWrite, platform::kShareRead, platform::kOpenAlways,
                nullptr, &existed, platform::FileUse::kServiceOwn);
  if (error != ERROR_SUCCESS) return error;
  std::lock_guard guard(lock_);
  file_ = std::move(file);
  open_.store(true);
  return ERROR_SUCCESS;
}

void AppendedFile::Append(std::string_view text) {
  if (!open_.load()) return;
  std::lock_guard guard(lock_);
  // Closed already: a transfer that outlived the shutdown has nothing left to write to.
  if (!file_.IsOpen()) return;
  file_.Append(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void AppendedFile::Close() {
  std::lock_guard guard(lock_);
  open_.store(false);
  if (file_.IsOpen()) file_.Close();
}

}  // namespace quoril
