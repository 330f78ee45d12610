#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/contract/helpers.h"

namespace quoril::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kShareBoth = kShareRead | kShareWrite;
constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "quoril_files_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    std::array<char, PATH_MAX> real{};
    ASSERT_NE(realpath(pattern.c_str(), real.data()), nullptr);
    dir_ = real.data();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }

  // Watches directories for any file in them being opened, created or changed.
  void Watch(const std::vector<std::string>& directories) {
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch_, 0);
    for (const std::string& directory : directories) {
      ASSERT_GE(inotify_add_watch(watch_, directory.c_str(), IN_OPEN | IN_CREATE | IN_MODIFY), 0);
    }
  }
  // The names of the files in the watched directories that were touched since Watch.
  std::string Touched() {
    std::string touched;
    alignas(inotify_event) std::array<char, 4096> events{};
    const ssize_t length = read(watch_, events.data(), events.size());
    for (ssize_t pos = 0; pos < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events.data() + pos);
      // Events without a name concern a directory itself, which may be listed.
      if (event->len > 0) touched += std::string(event->name) + " ";
      pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    close(watch_);
    return touched;
  }

  std::string dir_;
  int watch_ = -1;
};

// The owner carries over too; the integration tests, run as root, see to that.
TEST_F(FilesTest, ReplacementKeepsPermissionsAndTheLinkToTheFile) {
  PutText(Path("real.bin"), "old content");
  ASSERT_EQ(chmod(Path("real.bin").c_str(), 0640), 0);
  fs::create_symlink("real.bin", Path("Link.bin"));
  File file;
  ASSERT_EQ(file.OpenReplacement(Path("link.bin").c_str(), kOpenExisting, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(file.Write(Bytes("new")), ERROR_SUCCESS);
  ASSERT_EQ(file.Commit(), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_symlink(Path("Link.bin")));
  EXPECT_EQ(GetText(Path("real.bin")), "new");
  EXPECT_EQ(fs::status(Path("real.bin")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(FilesTest, CreateNewReplacementNeverReplacesAFileThatAppeared) {
  File file;
  ASSERT_EQ(file.OpenReplacement(Path("fresh.bin").c_str(), kCreateNew, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(file.Write(Bytes("mine")), ERROR_SUCCESS);
  PutText(Path("fresh.bin"), "another program's");
  EXPECT_EQ(file.Commit(), ERROR_FILE_EXISTS);
  EXPECT_EQ(GetText(Path("fresh.bin")), "another program's");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  // Only an upload's file is committed.
  ASSERT_EQ(file.Open(Path("fresh.bin").c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_SUCCESS);
  EXPECT_EQ(file.Commit(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(file.IsOpen());
}

TEST_F(FilesTest, WriteBeyondTheRoomLeftIsDiskFull) {
  // A file size limit refuses writes the way a full volume does, without needing one.
  const std::string path = Path("full.bin");
  File file;
  ASSERT_EQ(file.Open(path.c_str(), kGenericWrite, kShareNone, kCreateNew), ERROR_SUCCESS);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string data(10000, 'd');
  const Win32Error error = file.Write(Bytes(data));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(error, ERROR_DISK_FULL);
  file.Close();
  // What fitted stays: nothing is removed after a failure.
  EXPECT_EQ(fs::file_size(path), 4096u);
}

TEST_F(FilesTest, ComponentsMatchWithoutRegardToCase) {
  fs::create_directories(Path("EFI/BOOT"));
  PutText(Path("EFI/BOOT/BOOTX64.EFI"), "loader");
  PutText(Path("Foo"), "upper");
  PutText(Path("foo"), "lower");
  PutText(Path("Mixed.Bin"), "mixed");

  struct Row {
    const char* name;
    std::string path;
    Win32Error expected;
    const char* content;
  };
  const Row rows[] = {
      {"every component in another case", Path("efi/boot/bootx64.efi"), ERROR_SUCCESS, "loader"},
      {"exact case", Path("EFI/BOOT/BOOTX64.EFI"), ERROR_SUCCESS, "loader"},
      {"backslashes and case", dir_ + "\\efi\\Boot\\BootX64.efi", ERROR_SUCCESS, "loader"},
      {"exact name wins over another case", Path("foo"), ERROR_SUCCESS, "lower"},
      {"exact name wins, other spelling", Path("Foo"), ERROR_SUCCESS, "upper"},
      {"several matches take the smallest", Path("FOO"), ERROR_SUCCESS, "upper"},
      {"lower-cased file name", Path("mixed.bin"), ERROR_SUCCESS, "mixed"},
      {"missing file in a matched directory", Path("efi/boot/none.efi"), ERROR_FILE_NOT_FOUND, ""},
      {"missing directory", Path("efi/none/bootx64.efi"), ERROR_PATH_NOT_FOUND, ""},
      {"different name is no match", Path("efi/boot/bootx64.ef"), ERROR_FILE_NOT_FOUND, ""},
  };
  for (const Row& row : rows) {
    File file;
    EXPECT_EQ(file.Open(row.path.c_str(), kGenericRead, kShareRead, kOpenExisting), row.expected)
        << row.name;
    if (row.expected == ERROR_SUCCESS) {
      EXPECT_EQ(ReadAll(file), row.content) << row.name;
    }
  }
}

TEST_F(FilesTest, CreationUsesTheMatchedDirectoryAndTheNameAsGiven) {
  fs::create_directories(Path("EFI/BOOT"));
  PutText(Path("EFI/BOOT/BOOTX64.EFI"), "loader");
  File file;
  ASSERT_EQ(file.Open(Path("efi/boot/grub.cfg").c_str(), kGenericWrite, kShareNone, kCreateNew),
            ERROR_SUCCESS);
  EXPECT_EQ(file.Write(Bytes("cfg")), ERROR_SUCCESS);
  file.Close();
  EXPECT_EQ(GetText(Path("EFI/BOOT/grub.cfg")), "cfg");
  EXPECT_FALSE(fs::exists(Path("efi")));

  // A file that exists in another case is the same file to every disposition.
  EXPECT_EQ(file.Open(Path("efi/boot/bootx64.efi").c_str(), kGenericWrite, kShareNone, kCreateNew),
            ERROR_FILE_EXISTS);
  bool already = false;
  ASSERT_EQ(file.Open(Path("efi/boot/bootx64.efi").c_str(), kGenericWrite, kShareNone,
                      kCreateAlways, nullptr, &already),
            ERROR_SUCCESS);
  EXPECT_TRUE(already);
  EXPECT_EQ(file.Write(Bytes("new")), ERROR_SUCCESS);
  file.Close();
  EXPECT_EQ(GetText(Path("EFI/BOOT/BOOTX64.EFI")), "new");
  EXPECT_FALSE(fs::exists(Path("EFI/BOOT/bootx64.efi")));
}

TEST_F(FilesTest, ExistingFileInAnotherCaseServesEveryDisposition) {
  struct Row {
    const char* name;
    std::uint32_t disposition;
    bool alreadyExisted;
    const char* after;
  };
  const Row rows[] = {
      {"open existing", kOpenExisting, false, "w-loader"},
      {"truncate existing", kTruncateExisting, false, "w-"},
      {"open always", kOpenAlways, true, "w-loader"},
      {"create always", kCreateAlways, true, "w-"},
  };
  fs::create_directories(Path("EFI/BOOT"));
  for (const Row& row : rows) {
    PutText(Path("EFI/BOOT/BOOTX64.EFI"), "12loader");
    File file;
    bool already = !row.alreadyExisted;
    ASSERT_EQ(file.Open(Path("efi/boot/bootx64.efi").c_str(), kGenericWrite, kShareNone,
                        row.disposition, nullptr, &already),
              ERROR_SUCCESS)
        << row.name;
    EXPECT_EQ(already, row.alreadyExisted) << row.name;
    EXPECT_EQ(file.Write(Bytes("w-")), ERROR_SUCCESS) << row.name;
    file.Close();
    EXPECT_EQ(GetText(Path("EFI/BOOT/BOOTX64.EFI")), row.after) << row.name;
    EXPECT_FALSE(fs::exists(Path("EFI/BOOT/bootx64.efi"))) << row.name;
    EXPECT_FALSE(fs::exists(Path("efi"))) << row.name;
  }
}

TEST_F(FilesTest, ClosingAHandleReleasesOnlyItsOwnEntry) {
  const std::string path = Path("two.bin");
  PutText(path, "x");
  File first;
  File second;
  ASSERT_EQ(first.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
  ASSERT_EQ(second.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
  File writer;
  first.Close();
  EXPECT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareBoth, kOpenExisting),
            ERROR_SHARING_VIOLATION);
  // Closing again releases nothing more; the entry of the open reader stays.
  first.Close();
  EXPECT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareBoth, kOpenExisting),
            ERROR_SHARING_VIOLATION);
  // A file that lost its name while open is released all the same.
  fs::remove(path);
  second.Close();
  PutText(path, "y");
  EXPECT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareNone, kOpenExisting), ERROR_SUCCESS);
}

// Another program is played by a descriptor of this process's own with a lock of its own.
TEST_F(FilesTest, LocksExtendSharingToOtherPrograms) {
  const std::string path = Path("locked.bin");
  PutText(path, "data");
  const auto lockFrom = [](int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
  };
  {
    const int other = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(lockFrom(other, F_WRLCK));
    File file;
    EXPECT_EQ(file.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting),
              ERROR_SHARING_VIOLATION);
    close(other);
    EXPECT_EQ(file.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting), ERROR_SUCCESS);
  }
  {
    const int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(lockFrom(other, F_RDLCK));
    File file;
    EXPECT_EQ(file.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting), ERROR_SUCCESS);
    File writer;
    EXPECT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareBoth, kOpenExisting),
              ERROR_SHARING_VIOLATION);
    close(other);
  }
  {
    // The other way round: what this process holds is seen by others that lock.
    File writer;
    ASSERT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareNone, kOpenExisting), ERROR_SUCCESS);
    const int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_FALSE(lockFrom(other, F_RDLCK));
    writer.Close();
    EXPECT_TRUE(lockFrom(other, F_RDLCK));
    close(other);

    File reader;
    ASSERT_EQ(reader.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
    const int otherWriter = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(otherWriter, 0);
    EXPECT_FALSE(lockFrom(otherWriter, F_WRLCK));
    close(otherWriter);
  }
}

// Many readers of one file, closed in any order: other programs that lock see the readers'
// lock as long as any of them is open, and only then.
TEST_F(FilesTest, ReadersLockHoldsUntilTheLastReaderCloses) {
  const std::string path = Path("shared.bin");
  PutText(path, "data");
  const auto othersMayWrite = [&] {
    const int other = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool taken = other >= 0 && fcntl(other, F_OFD_SETLK, &lock) == 0;
    if (other >= 0) close(other);
    return taken;
  };
  struct Row {
    const char* name;
    std::vector<int> closeOrder;  // indexes of the readers, in the order they close
  };
  const Row rows[] = {
      {"first opened closes first", {0, 1, 2, 3, 4}},
      {"last opened closes first", {4, 3, 2, 1, 0}},
      {"mixed", {2, 0, 4, 1, 3}},
  };
  for (const Row& row : rows) {
    std::vector<File> readers(row.closeOrder.size());
    for (File& reader : readers) {
      ASSERT_EQ(reader.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS)
          << row.name;
    }
    // A reader that shares writing as well takes no lock and leaves the others' standing.
    File sharing;
    ASSERT_EQ(sharing.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting), ERROR_SUCCESS);
    for (std::size_t i = 0; i < row.closeOrder.size(); ++i) {
      EXPECT_FALSE(othersMayWrite()) << row.name << ", " << i << " closed";
      File writer;
      EXPECT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareBoth, kOpenExisting),
                ERROR_SHARING_VIOLATION)
          << row.name << ", " << i << " closed";
      readers[static_cast<std::size_t>(row.closeOrder[i])].Close();
    }
    EXPECT_TRUE(othersMayWrite()) << row.name;
    sharing.Close();
    // All released: the file opens for anything, and a new reader locks it again.
    File writer;
    EXPECT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareNone, kOpenExisting), ERROR_SUCCESS)
        << row.name;
    EXPECT_FALSE(othersMayWrite()) << row.name;
    writer.Close();
    File again;
    ASSERT_EQ(again.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
    EXPECT_FALSE(othersMayWrite()) << row.name;
  }
}

TEST_F(FilesTest, EachOpenMeetsTheLocksOfOtherPrograms) {
  struct Row {
    const char* name;
    short other;  // the lock another program holds
    std::uint32_t access;
    std::uint32_t share;
    Win32Error expected;
    FileUse use = FileUse::kTransfer;
  };
  const Row rows[] = {
      {"read lock, reader sharing reading", F_RDLCK, kGenericRead, kShareRead, ERROR_SUCCESS},
      {"read lock, reader sharing both", F_RDLCK, kGenericRead, kShareBoth, ERROR_SUCCESS},
      {"read lock, reader sharing nothing", F_RDLCK, kGenericRead, kShareNone, ERROR_SUCCESS},
      {"read lock, writer sharing nothing", F_RDLCK, kGenericWrite, kShareNone,
       ERROR_SHARING_VIOLATION},
      {"read lock, writer sharing both", F_RDLCK, kGenericWrite, kShareBoth,
       ERROR_SHARING_VIOLATION},
      {"read lock, writer sharing reading", F_RDLCK, kGenericWrite, kShareRead,
       ERROR_SHARING_VIOLATION},
      // Takes only a read lock itself, which the other's read lock admits; writing is refused.
      {"read lock, reader and writer sharing reading", F_RDLCK, kReadWrite, kShareRead,
       ERROR_SHARING_VIOLATION},
      {"write lock, reader sharing reading", F_WRLCK, kGenericRead, kShareRead,
       ERROR_SHARING_VIOLATION},
      {"write lock, reader sharing both", F_WRLCK, kGenericRead, kShareBoth,
       ERROR_SHARING_VIOLATION},
      {"write lock, writer sharing writing", F_WRLCK, kGenericWrite, kShareWrite,
       ERROR_SHARING_VIOLATION},
      {"write lock, writer sharing nothing", F_WRLCK, kGenericWrite, kShareNone,
       ERROR_SHARING_VIOLATION},
      // No other user keeps the service from a file of its own.
      {"read lock, service's own writer", F_RDLCK, kGenericWrite, kShareRead, ERROR_SUCCESS,
       FileUse::kServiceOwn},
      {"write lock, service's own writer", F_WRLCK, kGenericWrite, kShareRead, ERROR_SUCCESS,
       FileUse::kServiceOwn},
  };
  const std::string path = Path("others.bin");
  PutText(path, "data");
  for (const Row& row : rows) {
    const int other = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    struct flock lock {};
    lock.l_type = row.other;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(other, F_OFD_SETLK, &lock), 0) << row.name;
    File file;
    EXPECT_EQ(
        file.Open(path.c_str(), row.access, row.share, kOpenExisting, nullptr, nullptr, row.use),
        row.expected)
        << row.name;
    EXPECT_EQ(file.IsOpen(), row.expected == ERROR_SUCCESS) << row.name;
    close(other);
    file.Close();
    // Refused, it left no lock behind: the file opens for everything now.
    EXPECT_EQ(file.Open(path.c_str(), kReadWrite, kShareNone, kOpenExisting), ERROR_SUCCESS)
        << row.name;
  }
}

TEST_F(FilesTest, ReadersAndAWriterNeverOverlap) {
  const std::string path = Path("contended.bin");
  PutText(path, "c");
  std::atomic<int> readers{0};
  std::atomic<int> writers{0};
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    const bool isWriter = t == 0;
    threads.emplace_back([&, isWriter] {
      for (int i = 0; i < 200; ++i) {
        File file;
        const Win32Error error =
            isWriter ? file.Open(path.c_str(), kGenericWrite, kShareNone, kOpenExisting)
                     : file.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting);
        if (error == ERROR_SHARING_VIOLATION) continue;
        if (error != ERROR_SUCCESS) {
          wrong = true;
          return;
        }
        std::atomic<int>& mine = isWriter ? writers : readers;
        const std::atomic<int>& theirs = isWriter ? readers : writers;
        ++mine;
        if (theirs.load() != 0 || (isWriter && writers.load() != 1)) wrong = true;
        --mine;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(wrong.load());
}

TEST_F(FilesTest, OnlyRegularFilesOpen) {
  fs::create_directories(Path("folder"));
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", Path("null-link"));
  fs::create_symlink(Path("pipe"), Path("pipe-link"));
  fs::create_directories(Path("Fifos"));
  ASSERT_EQ(mkfifo(Path("Fifos/Pipe").c_str(), 0600), 0);
  fs::create_symlink("Fifos", Path("fifo-dir"));
  fs::create_symlink("/dev", Path("dev-dir"));
  {
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = Path("sock");
    ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(sock);
  }
  // What is no regular file is not even opened for a moment: opening a device or a FIFO can
  // have effects. (Directories are opened to be searched, and are not watched here.)
  fs::create_directories(Path("watched"));
  ASSERT_EQ(mkfifo(Path("watched/Pipe").c_str(), 0600), 0);
  fs::create_symlink("watched", Path("watched-link"));
  Watch({Path("watched")});
  struct Row {
    const char* name;
    std::string path;
    std::uint32_t access;
    std::uint32_t disposition;
    Win32Error expected;
  };
  const Row rows[] = {
      {"directory for reading", Path("folder"), kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
      {"directory for writing", Path("folder"), kGenericWrite, kCreateAlways, ERROR_ACCESS_DENIED},
      {"directory with a trailing separator", Path("folder/"), kGenericRead, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"directory, create new", Path("folder"), kGenericWrite, kCreateNew, ERROR_FILE_EXISTS},
      {"the root", "/", kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
      {"FIFO for reading", Path("pipe"), kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
      {"FIFO for writing", Path("pipe"), kGenericWrite, kOpenAlways, ERROR_ACCESS_DENIED},
      {"FIFO through a link", Path("pipe-link"), kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
      {"FIFO for reading and writing", Path("pipe"), kReadWrite, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"FIFO, truncate existing", Path("pipe"), kGenericWrite, kTruncateExisting,
       ERROR_ACCESS_DENIED},
      {"FIFO, create always", Path("pipe"), kGenericWrite, kCreateAlways, ERROR_ACCESS_DENIED},
      {"FIFO in another case", Path("fifos/pipe"), kGenericWrite, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"FIFO through a linked directory", Path("fifo-dir/Pipe"), kGenericWrite, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"FIFO through a linked directory, reading", Path("fifo-dir/Pipe"), kGenericRead,
       kOpenExisting, ERROR_ACCESS_DENIED},
      {"device through a linked directory", Path("dev-dir/null"), kGenericRead, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"watched FIFO", Path("watched/Pipe"), kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
      {"watched FIFO in another case", Path("watched/pipe"), kGenericRead, kOpenAlways,
       ERROR_ACCESS_DENIED},
      {"watched FIFO through a linked directory", Path("watched-link/Pipe"), kReadWrite,
       kTruncateExisting, ERROR_ACCESS_DENIED},
      {"device", "/dev/null", kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
      {"device for writing", "/dev/null", kGenericWrite, kTruncateExisting, ERROR_ACCESS_DENIED},
      {"device through a link", Path("null-link"), kGenericWrite, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"socket", Path("sock"), kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    // A FIFO without a partner would block an open for good; the open must answer anyway.
    auto result = std::async(std::launch::async, [&row] {
      File file;
      return file.Open(row.path.c_str(), row.access, kShareNone, row.disposition);
    });
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      const int partner = open(Path("pipe").c_str(), O_RDWR | O_CLOEXEC);
      result.wait();
      close(partner);
      ADD_FAILURE() << row.name << ": the open blocked";
      continue;
    }
    EXPECT_EQ(result.get(), row.expected) << row.name;
  }
  EXPECT_TRUE(fs::is_directory(Path("folder")));
  EXPECT_EQ(Touched(), "");
}

TEST_F(FilesTest, SymbolicLinksAreFollowed) {
  PutText(Path("real.bin"), "real");
  fs::create_directories(Path("realdir"));
  PutText(Path("realdir/in.bin"), "in");
  fs::create_symlink("real.bin", Path("alias.bin"));
  fs::create_symlink("alias.bin", Path("alias2.bin"));
  fs::create_symlink("realdir", Path("dirlink"));
  fs::create_symlink("loop-b", Path("loop-a"));
  fs::create_symlink("loop-a", Path("loop-b"));
  fs::create_symlink("created.bin", Path("dangling"));

  File file;
  ASSERT_EQ(file.Open(Path("alias2.bin").c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadAll(file), "real");
  ASSERT_EQ(file.Open(Path("DirLink/IN.bin").c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadAll(file), "in");
  file.Close();
  // The link and its target are one file to the sharing rules.
  File writer;
  ASSERT_EQ(writer.Open(Path("real.bin").c_str(), kGenericWrite, kShareNone, kOpenExisting),
            ERROR_SUCCESS);
  EXPECT_EQ(file.Open(Path("alias.bin").c_str(), kGenericRead, kShareBoth, kOpenExisting),
            ERROR_SHARING_VIOLATION);
  writer.Close();

  EXPECT_EQ(file.Open(Path("loop-a").c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_PATH_NOT_FOUND);
  // A dangling link is a missing file: opening fails, creating creates its target.
  EXPECT_EQ(file.Open(Path("dangling").c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(file.Open(Path("dangling").c_str(), kGenericWrite, kShareNone, kCreateNew),
            ERROR_SUCCESS);
  EXPECT_EQ(file.Write(Bytes("made")), ERROR_SUCCESS);
  file.Close();
  EXPECT_EQ(GetText(Path("created.bin")), "made");
  EXPECT_TRUE(fs::is_symlink(Path("dangling")));
}

class ConfinementTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    fs::create_directories(Path("tftp/sub"));
    fs::create_directories(Path("outside"));
    fs::create_directories(Path("tftpdata"));
    PutText(Path("tftp/inside.bin"), "inside");
    PutText(Path("tftp/sub/deep.bin"), "deep");
    PutText(Path("outside/secret"), "secret");
    PutText(Path("tftpdata/x.bin"), "neighbour");
    fs::create_symlink("../outside/secret", Path("tftp/to-secret"));
    fs::create_symlink(Path("outside/secret"), Path("tftp/to-secret-absolute"));
    fs::create_symlink("../outside", Path("tftp/outdir"));
    fs::create_symlink("../outside/fresh", Path("tftp/to-fresh"));
    fs::create_symlink("inside.bin", Path("tftp/to-inside"));
    fs::create_symlink("sub", Path("tftp/subdir-link"));
    fs::create_symlink("../tftp/inside.bin", Path("tftp/roundabout"));
    fs::create_symlink("../tftp/inside.bin", Path("outside/back"));
  }
  std::string Root() const { return Path("tftp"); }

  void WatchOutside() { Watch({Path("outside")}); }
  std::string TouchedOutside() { return Touched(); }
};

TEST_F(ConfinementTest, ReadsStayInsideTheDirectory) {
  struct Row {
    const char* name;
    std::string path;
    Win32Error expected;
    const char* content;
  };
  const Row rows[] = {
      {"file inside", Path("tftp/inside.bin"), ERROR_SUCCESS, "inside"},
      {"file deeper inside", Path("tftp/sub/deep.bin"), ERROR_SUCCESS, "deep"},
      {"link to a file inside", Path("tftp/to-inside"), ERROR_SUCCESS, "inside"},
      {"link through an inside directory", Path("tftp/subdir-link/deep.bin"), ERROR_SUCCESS,
       "deep"},
      {"link leaving and coming back", Path("tftp/roundabout"), ERROR_SUCCESS, "inside"},
      {"dot dot escape", Path("tftp/../outside/secret"), ERROR_ACCESS_DENIED, ""},
      {"relative link outside", Path("tftp/to-secret"), ERROR_ACCESS_DENIED, ""},
      {"absolute link outside", Path("tftp/to-secret-absolute"), ERROR_ACCESS_DENIED, ""},
      {"linked directory outside", Path("tftp/outdir/secret"), ERROR_ACCESS_DENIED, ""},
      {"linked directory outside, in another case", Path("tftp/OUTDIR/SECRET"), ERROR_ACCESS_DENIED,
       ""},
      {"linked directory outside and a link back", Path("tftp/outdir/back"), ERROR_SUCCESS,
       "inside"},
      {"neighbour sharing the prefix", Path("tftpdata/x.bin"), ERROR_ACCESS_DENIED, ""},
      {"the directory's parent", Path("outside/secret"), ERROR_ACCESS_DENIED, ""},
  };
  WatchOutside();
  for (const Row& row : rows) {
    File file;
    EXPECT_EQ(file.Open(row.path.c_str(), kGenericRead, kShareRead, kOpenExisting, Root().c_str()),
              row.expected)
        << row.name;
    if (row.expected == ERROR_SUCCESS) {
      EXPECT_EQ(ReadAll(file), row.content) << row.name;
    }
  }
  EXPECT_EQ(TouchedOutside(), "");
}

TEST_F(ConfinementTest, WritesNeverTouchAnythingOutside) {
  struct Row {
    const char* name;
    std::string path;
    std::uint32_t disposition;
    Win32Error expected;
  };
  const Row rows[] = {
      {"replace through a link", Path("tftp/to-secret"), kCreateAlways, ERROR_ACCESS_DENIED},
      {"truncate through a link", Path("tftp/to-secret"), kTruncateExisting, ERROR_ACCESS_DENIED},
      {"overwrite through a link", Path("tftp/to-secret"), kOpenExisting, ERROR_ACCESS_DENIED},
      {"replace through a linked directory", Path("tftp/outdir/secret"), kCreateAlways,
       ERROR_ACCESS_DENIED},
      {"overwrite through a linked directory", Path("tftp/outdir/secret"), kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"truncate through a linked directory", Path("tftp/outdir/secret"), kTruncateExisting,
       ERROR_ACCESS_DENIED},
      {"append through a linked directory", Path("tftp/outdir/secret"), kOpenAlways,
       ERROR_ACCESS_DENIED},
      {"overwrite through a linked directory in another case", Path("tftp/OutDir/Secret"),
       kOpenExisting, ERROR_ACCESS_DENIED},
      {"overwrite inside through a linked directory", Path("tftp/subdir-link/deep.bin"),
       kOpenExisting, ERROR_SUCCESS},
      {"create through a linked directory", Path("tftp/outdir/fresh"), kCreateNew,
       ERROR_ACCESS_DENIED},
      {"create through a dangling link", Path("tftp/to-fresh"), kCreateAlways, ERROR_ACCESS_DENIED},
      {"create by dot dot", Path("tftp/../outside/fresh"), kOpenAlways, ERROR_ACCESS_DENIED},
      {"create in the neighbour", Path("tftpdata/fresh"), kCreateNew, ERROR_ACCESS_DENIED},
      {"create inside", Path("tftp/new.bin"), kCreateNew, ERROR_SUCCESS},
      {"replace inside through a link", Path("tftp/to-inside"), kCreateAlways, ERROR_SUCCESS},
  };
  WatchOutside();
  for (const Row& row : rows) {
    File file;
    EXPECT_EQ(
        file.Open(row.path.c_str(), kGenericWrite, kShareNone, row.disposition, Root().c_str()),
        row.expected)
        << row.name;
    if (file.IsOpen()) {
      EXPECT_EQ(file.Write(Bytes("written")), ERROR_SUCCESS) << row.name;
    }
    // An upload is refused alike, and leaves nothing outside either.
    if (row.expected != ERROR_SUCCESS) {
      EXPECT_EQ(file.OpenReplacement(row.path.c_str(), row.disposition, Root().c_str()),
                row.expected)
          << row.name;
    }
  }
  // Not even opened or created for a moment.
  EXPECT_EQ(TouchedOutside(), "");
  EXPECT_EQ(GetText(Path("outside/secret")), "secret");
  EXPECT_FALSE(fs::exists(Path("outside/fresh")));
  EXPECT_FALSE(fs::exists(Path("tftpdata/fresh")));
  EXPECT_EQ(GetText(Path("tftp/new.bin")), "written");
  EXPECT_EQ(GetText(Path("tftp/inside.bin")), "written");
  EXPECT_EQ(GetText(Path("tftp/sub/deep.bin")), "written");
}

TEST_F(ConfinementTest, DirectoryIsFoundWhateverItsCase) {
  fs::rename(Path("tftp"), Path("TFTP"));
  File file;
  // The configured directory comes lower-cased, the disk has it in capitals.
  EXPECT_EQ(file.Open(Path("tftp/inside.bin").c_str(), kGenericRead, kShareRead, kOpenExisting,
                      Path("tftp").c_str()),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadAll(file), "inside");
  EXPECT_EQ(file.Open(Path("tftp/to-secret").c_str(), kGenericRead, kShareRead, kOpenExisting,
                      Path("tftp").c_str()),
            ERROR_ACCESS_DENIED);
  // A confining directory reached through a link confines to its target.
  fs::create_symlink("TFTP", Path("served"));
  EXPECT_EQ(file.Open(Path("TFTP/sub/deep.bin").c_str(), kGenericRead, kShareRead, kOpenExisting,
                      Path("served").c_str()),
            ERROR_SUCCESS);
  // A confining directory that does not exist admits nothing.
  EXPECT_EQ(file.Open(Path("TFTP/inside.bin").c_str(), kGenericRead, kShareRead, kOpenExisting,
                      Path("nowhere").c_str()),
            ERROR_ACCESS_DENIED);
  // The root confines to everything.
  EXPECT_EQ(file.Open(Path("outside/secret").c_str(), kGenericRead, kShareRead, kOpenExisting, "/"),
            ERROR_SUCCESS);
}

class CurrentDirectoryTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    std::array<char, PATH_MAX> old{};
    ASSERT_NE(getcwd(old.data(), old.size()), nullptr);
    oldCwd_ = old.data();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(oldCwd_.c_str()), 0);
    FilesTest::TearDown();
  }
  std::string Current() const {
    std::array<char, PATH_MAX> cwd{};
    return getcwd(cwd.data(), cwd.size()) != nullptr ? cwd.data() : "";
  }
  std::string oldCwd_;
};

TEST_F(CurrentDirectoryTest, ChangesAsSetCurrentDirectory) {
  fs::create_directories(Path("srv/TFTP/Boot"));
  PutText(Path("srv/file.txt"), "x");
  struct Row {
    const char* name;
    std::string path;
    Win32Error expected;
    std::string after;
  };
  const Row rows[] = {
      {"exact", Path("srv/TFTP"), ERROR_SUCCESS, Path("srv/TFTP")},
      {"lower-cased", Path("srv/tftp"), ERROR_SUCCESS, Path("srv/TFTP")},
      {"backslashes and a trailing separator", dir_ + "\\SRV\\tftp\\boot\\", ERROR_SUCCESS,
       Path("srv/TFTP/Boot")},
      {"relative", "..", ERROR_SUCCESS, Path("srv/TFTP")},
      {"missing directory", Path("srv/none"), ERROR_FILE_NOT_FOUND, Path("srv/TFTP")},
      {"missing parent", Path("none/tftp"), ERROR_PATH_NOT_FOUND, Path("srv/TFTP")},
      {"a file", Path("srv/file.txt"), ERROR_DIRECTORY, Path("srv/TFTP")},
      {"empty", "", ERROR_INVALID_NAME, Path("srv/TFTP")},
      {"null", "", ERROR_INVALID_PARAMETER, Path("srv/TFTP")},
  };
  for (const Row& row : rows) {
    const bool isNull = std::string(row.name) == "null";
    EXPECT_EQ(SetCurrentDirectory(isNull ? nullptr : row.path.c_str()), row.expected) << row.name;
    EXPECT_EQ(Current(), row.after) << row.name;
  }
  // The current directory is the text that was set, formed; relative names resolve against it.
  std::array<char, kMaxPath> buffer{};
  std::uint32_t length = 0;
  ASSERT_EQ(GetCurrentDirectory(buffer, length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.data()), Path("SRV/tftp"));
  ASSERT_EQ(GetFullPathName("boot\\x.bin", buffer, length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.data()), Path("SRV/tftp/boot/x.bin"));
}

TEST_F(CurrentDirectoryTest, IsTheTextThatWasSetNotTheResolvedPath) {
  fs::create_directories(Path("srv/tftp"));
  fs::create_directory_symlink(Path("srv/tftp"), Path("tftpboot"));
  struct Row {
    const char* name;
    std::string path;
    std::string current;
  };
  const Row rows[] = {
      {"symbolic link", Path("tftpboot"), Path("tftpboot")},
      {"doubled separator", dir_ + "/srv//tftp", Path("srv/tftp")},
      {"dot component", dir_ + "/srv/./tftp/", Path("srv/tftp")},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(SetCurrentDirectory(row.path.c_str()), ERROR_SUCCESS) << row.name;
    EXPECT_EQ(Current(), Path("srv/tftp")) << row.name;
    std::array<char, kMaxPath> buffer{};
    std::uint32_t length = 0;
    ASSERT_EQ(GetCurrentDirectory(buffer, length), ERROR_SUCCESS) << row.name;
    EXPECT_EQ(std::string(buffer.data()), row.current) << row.name;
    ASSERT_EQ(GetFullPathName("a.bin", buffer, length), ERROR_SUCCESS) << row.name;
    EXPECT_EQ(std::string(buffer.data()), row.current + "/a.bin") << row.name;
  }
  // A change by other means is seen: the text no longer names the directory.
  ASSERT_EQ(SetCurrentDirectory(Path("tftpboot").c_str()), ERROR_SUCCESS);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  std::array<char, kMaxPath> buffer{};
  std::uint32_t length = 0;
  ASSERT_EQ(GetCurrentDirectory(buffer, length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.data()), dir_);
  // So is its removal: a relative name then lies in no directory.
  ASSERT_EQ(mkdir(Path("gone").c_str(), 0755), 0);
  ASSERT_EQ(SetCurrentDirectory(Path("gone").c_str()), ERROR_SUCCESS);
  ASSERT_EQ(rmdir(Path("gone").c_str()), 0);
  EXPECT_NE(GetFullPathName("a.bin", buffer, length), ERROR_SUCCESS);
}

TEST(ModuleFileNameTest, NamesTheRunningExecutable) {
  std::array<char, PATH_MAX> expected{};
  const ssize_t expectedLength = readlink("/proc/self/exe", expected.data(), expected.size() - 1);
  ASSERT_GT(expectedLength, 4);
  std::array<char, PATH_MAX> buffer{};
  std::uint32_t length = 0;
  EXPECT_EQ(GetModuleFileName(buffer, length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.data()), std::string(expected.data()));
  EXPECT_EQ(length, static_cast<std::uint32_t>(expectedLength));

  std::array<char, 8> small{};
  small.fill('#');
  EXPECT_EQ(GetModuleFileName(std::span(small.data(), 5), length), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::string(small.data(), 4), std::string(expected.data(), 4));
  EXPECT_EQ(small[4], '\0');
  EXPECT_EQ(small[5], '#');
}

}  // namespace
}  // namespace quoril::platform
