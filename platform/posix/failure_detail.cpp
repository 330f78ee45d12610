#include "platform/posix/failure_detail.h"

#include <utility>

namespace quoril::platform {

namespace {

// Each thread has its own: an event tells of a failure of the thread that reports it.
thread_local std::string tDetail;
thread_local bool tAnyType = false;

}  // namespace

void NoteFailureDetail(std::string text) {
  tDetail = std::move(text);
  tAnyType = false;
}

void NoteEventDetail(std::string text) {
  tDetail = std::move(text);
  tAnyType = true;
}

void ClearFailureDetail() {
  tDetail.clear();
  tAnyType = false;
}

std::string TakeFailureDetail(bool* anyType) {
  if (anyType != nullptr) *anyType = tAnyType;
  tAnyType = false;
  return std::exchange(tDetail, std::string());
}

std::string DescribeError(Win32Error error) {
  constexpr std::pair<Win32Error, const char*> kWords[] = {
      {ERROR_FILE_NOT_FOUND, "no such file"}, {ERROR_PATH_NOT_FOUND, "no such directory"},
      {ERROR_ACCESS_DENIED, "access denied"}, {ERROR_SHARING_VIOLATION, "in use by another open"},
      {ERROR_DISK_FULL, "disk full"},         {ERROR_FILENAME_EXCED_RANGE, "name too long"},
      {ERROR_DIRECTORY, "not a directory"}};
  for (const auto& [value, words] : kWords) {
    if (value == error) return words;
  }
  return "error " + std::to_string(error);
}

}  // namespace quoril::platform
