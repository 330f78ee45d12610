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
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return "no such file";
    case ERROR_PATH_NOT_FOUND:
      return "no such directory";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_SHARING_VIOLATION:
      return "in use by another open";
    case ERROR_DISK_FULL:
      return "disk full";
    case ERROR_FILENAME_EXCED_RANGE:
      return "name too long";
    case ERROR_DIRECTORY:
      return "not a directory";
    default:
      return "error " + std::to_string(error);
  }
}

}  // namespace quoril::platform
