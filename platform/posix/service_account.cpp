#include "platform/posix/service_account.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/error_mapping.h"
#include "platform/posix/system_root.h"

extern char** environ;

namespace quoril::platform {

namespace {

// Where installation notes that it made the account, so that removal takes away only what
// installation added.
constexpr char kRecordDirectory[] = "etc/quoril";
constexpr char kRecordFile[] = "etc/quoril/created-account";

// userdel's answer for an account that does not exist.
constexpr int kUserdelNoSuchUser = 6;

bool UnderRealRoot() {
  return SystemRootPath("") == "/";
}

// The system's own tool, never one that comes first on somebody's PATH.
std::string SystemProgram(const char* name) {
  for (const char* directory : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string path = std::string(directory) + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// Points the account tools at a test's root; the real root needs no word.
void AddPrefix(std::vector<std::string>& arguments) {
  if (UnderRealRoot()) return;
  arguments.insert(arguments.begin() + 1, {"--prefix", SystemRootPath("")});
}

enum class Account { kExists, kMissing, kNoDatabase };

Account FindAccount(const std::string& name) {
  if (UnderRealRoot()) {
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    return found != nullptr ? Account::kExists : Account::kMissing;
  }
  std::ifstream database(SystemRootPath("etc/passwd"));
  if (!database) return Account::kNoDatabase;
  for (std::string line; std::getline(database, line);) {
    if (line.starts_with(name + ':')) return Account::kExists;
  }
  return Account::kMissing;
}

std::string RecordedAccount() {
  std::ifstream record(SystemRootPath(kRecordFile));
  std::string name;
  std::getline(record, name);
  return name;
}

Win32Error WriteRecord(const std::string& name) {
  if (const Win32Error error = MakeSystemDirectory(kRecordDirectory, 0755);
      error != ERROR_SUCCESS) {
    return error;
  }
  const std::string path = SystemRootPath(kRecordFile);
  const int error = WriteFileInOneStep(path, name + "\n", 0644, true);
  return error == 0 ? ERROR_SUCCESS : Win32ErrorFromErrno(error, path.c_str());
}

}  // namespace

int RunSystemProgram(std::vector<std::string> arguments) {
  const std::string program = SystemProgram(arguments[0].c_str());
  if (program.empty()) return -1;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t child = 0;
  const int spawned =
      ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Win32Error EnsureServiceAccount(const std::string& name) {
  // An account of that name that exists already is taken as it is, and is not installation's
  // to remove unless an earlier installation made it.
  if (FindAccount(name) != Account::kMissing) return ERROR_SUCCESS;
  std::vector<std::string> add{"useradd",
                               "--system",
                               "--user-group",
                               "--no-create-home",
                               "--home-dir",
                               "/nonexistent",
                               "--shell",
                               "/usr/sbin/nologin",
                               "--comment",
                               "Quoril service",
                               name};
  AddPrefix(add);
  if (RunSystemProgram(add) != 0) return ERROR_INVALID_SERVICE_ACCOUNT;
  if (const Win32Error error = WriteRecord(name); error != ERROR_SUCCESS) {
    std::vector<std::string> undo{"userdel", name};
    AddPrefix(undo);
    RunSystemProgram(undo);
    return error;
  }
  return ERROR_SUCCESS;
}

Win32Error RemoveServiceAccount(const std::string& name) {
  if (RecordedAccount() != name) return ERROR_SUCCESS;
  std::vector<std::string> remove{"userdel", name};
  AddPrefix(remove);
  const int status = RunSystemProgram(remove);
  if (status != 0 && status != kUserdelNoSuchUser) return ERROR_INVALID_SERVICE_ACCOUNT;
  ::unlink(SystemRootPath(kRecordFile).c_str());
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
