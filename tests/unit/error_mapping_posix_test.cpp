#include "platform/posix/error_mapping.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace quoril::platform {
namespace {

struct ErrnoRow {
  const char* name;
  int err;
  Win32Error expected;
};

TEST(ErrorMappingPosix, EveryErrnoMapsAsWindowsWouldReport) {
  const ErrnoRow rows[] = {
      {"success", 0, ERROR_SUCCESS},
      {"missing file", ENOENT, ERROR_FILE_NOT_FOUND},
      {"component not a directory", ENOTDIR, ERROR_PATH_NOT_FOUND},
      {"symlink loop", ELOOP, ERROR_PATH_NOT_FOUND},
      {"permission", EACCES, ERROR_ACCESS_DENIED},
      {"operation not permitted", EPERM, ERROR_ACCESS_DENIED},
      {"is a directory", EISDIR, ERROR_ACCESS_DENIED},
      {"read-only volume", EROFS, ERROR_ACCESS_DENIED},
      {"exists", EEXIST, ERROR_FILE_EXISTS},
      {"volume full", ENOSPC, ERROR_DISK_FULL},
      {"quota", EDQUOT, ERROR_DISK_FULL},
      {"file too large", EFBIG, ERROR_DISK_FULL},
      {"name too long", ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
      {"process descriptors", EMFILE, ERROR_TOO_MANY_OPEN_FILES},
      {"system descriptors", ENFILE, ERROR_TOO_MANY_OPEN_FILES},
      {"memory", ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
      {"invalid argument", EINVAL, ERROR_INVALID_PARAMETER},
      {"i/o error", EIO, ERROR_GEN_FAILURE},
      {"lock held", EAGAIN, ERROR_SHARING_VIOLATION},
      {"lock held (other name)", EWOULDBLOCK, ERROR_SHARING_VIOLATION},
      {"bad descriptor", EBADF, ERROR_INVALID_HANDLE},
      {"unknown value", 99999, ERROR_GEN_FAILURE},
      {"negative value", -1, ERROR_GEN_FAILURE},
  };
  for (const ErrnoRow& row : rows) {
    EXPECT_EQ(Win32ErrorFromErrno(row.err), row.expected) << row.name;
  }
}

TEST(ErrorMappingPosix, SocketErrnosMapAsWindowsSocketsWouldReport) {
  const ErrnoRow rows[] = {
      {"closed", EBADF, WSAENOTSOCK},
      {"not a socket", ENOTSOCK, WSAENOTSOCK},
      {"interrupted", EINTR, WSAEINTR},
      {"permission", EACCES, WSAEACCES},
      {"not permitted", EPERM, WSAEACCES},
      {"bad address", EFAULT, WSAEFAULT},
      {"invalid", EINVAL, WSAEINVAL},
      {"process descriptors", EMFILE, WSAEMFILE},
      {"system descriptors", ENFILE, WSAEMFILE},
      {"would block", EAGAIN, WSAEWOULDBLOCK},
      {"too long", EMSGSIZE, WSAEMSGSIZE},
      {"family", EAFNOSUPPORT, WSAEAFNOSUPPORT},
      {"in use", EADDRINUSE, WSAEADDRINUSE},
      {"not here", EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
      {"network down", ENETDOWN, WSAENETDOWN},
      {"no route", ENETUNREACH, WSAENETUNREACH},
      {"refused", ECONNREFUSED, WSAECONNRESET},
      {"reset", ECONNRESET, WSAECONNRESET},
      {"buffers", ENOBUFS, WSAENOBUFS},
      {"memory", ENOMEM, WSAENOBUFS},
      {"host", EHOSTUNREACH, WSAEHOSTUNREACH},
      {"success", 0, WSAENETDOWN},
      {"unknown value", 99999, WSAENETDOWN},
  };
  for (const ErrnoRow& row : rows) {
    EXPECT_EQ(WsaErrorFromErrno(row.err), row.expected) << row.name;
  }
}

class MissingPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "quoril_errmap_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ + "/plain") << "x";
  }
  void TearDown() override {
    unlink((dir_ + "/plain").c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(MissingPathTest, TellsMissingFileFromMissingDirectory) {
  struct Row {
    const char* name;
    std::string path;
    Win32Error expected;
  };
  const Row rows[] = {
      {"file in an existing directory", dir_ + "/absent", ERROR_FILE_NOT_FOUND},
      {"trailing separator", dir_ + "/absent/", ERROR_FILE_NOT_FOUND},
      {"file in a missing directory", dir_ + "/nodir/absent", ERROR_PATH_NOT_FOUND},
      {"parent is a regular file", dir_ + "/plain/absent", ERROR_PATH_NOT_FOUND},
      {"directly under the root", "/quoril-absent-file", ERROR_FILE_NOT_FOUND},
      {"empty path", "", ERROR_PATH_NOT_FOUND},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Win32ErrorForMissing(row.path.c_str()), row.expected) << row.name;
    EXPECT_EQ(Win32ErrorFromErrno(ENOENT, row.path.c_str()), row.expected) << row.name;
  }
  EXPECT_EQ(Win32ErrorFromErrno(EACCES, (dir_ + "/nodir/absent").c_str()), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace quoril::platform
