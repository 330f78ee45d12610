// The directories and files the POSIX backend keeps under the system root.
#include "platform/posix/system_root.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/contract/helpers.h"
#include "tests/unit/scratch_root.h"

namespace quoril::platform {
namespace {

namespace fs = std::filesystem;

class SystemRoot : public ::testing::Test {
 protected:
  mode_t ModeOf(const char* relative) const {
    struct stat info {};
    return stat((root_.path() / relative).c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
  }

  ScratchRoot root_;
};

TEST_F(SystemRoot, DirectoriesGetTheirModeWhateverTheUmask) {
  const mode_t old = umask(077);
  const Win32Error made = MakeSystemDirectory("var/log/quoril", 0750);
  umask(old);
  ASSERT_EQ(made, ERROR_SUCCESS);
  EXPECT_EQ(ModeOf("var"), 0755u);
  EXPECT_EQ(ModeOf("var/log"), 0755u);
  EXPECT_EQ(ModeOf("var/log/quoril"), 0750u);
}

TEST_F(SystemRoot, AFileIsWrittenInOneStepAndReplacedOnlyWhenAllowed) {
  const std::string path = (root_.path() / "unit").string();
  ASSERT_EQ(WriteFileInOneStep(path, "old\n", 0600, false), 0);
  EXPECT_EQ(WriteFileInOneStep(path, "new\n", 0644, false), EEXIST);
  EXPECT_EQ(GetText(path), "old\n");
  ASSERT_EQ(WriteFileInOneStep(path, "new\n", 0640, true), 0);
  EXPECT_EQ(GetText(path), "new\n");
  EXPECT_EQ(ModeOf("unit"), 0640u);
  // Nothing but the file itself is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace quoril::platform
