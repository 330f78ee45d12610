// The systemd backend of the service manager: unit files under a scratch system root, the
// texts it writes, and the dispatcher against a notification socket of the test's own.
#include "platform/service_manager.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/service_texts.h"
#include "tests/unit/scratch_root.h"

namespace quoril::platform {
namespace {

namespace fs = std::filesystem;

// Where the unit file of a scratch root lies.
fs::path UnitFile(const ScratchRoot& root) {
  return root.path() / "etc/systemd/system/quoril.service";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ServiceDefinition QuorilDefinition(const char* binaryPath) {
  return {"Quoril",
          "Quoril",
          kServiceAllAccess,
          kServiceWin32OwnProcess,
          kServiceDemandStart,
          kServiceErrorNormal,
          binaryPath};
}

TEST(ServiceTexts, UnitFileNames) {
  struct Row {
    const char* name;
    Win32Error error;
    const char* fileName;
  };
  const Row rows[] = {
      {"Quoril", ERROR_SUCCESS, "quoril.service"},
      {"A-b_c.D9", ERROR_SUCCESS, "a-b_c.d9.service"},
      {"", ERROR_INVALID_NAME, ""},
      {"../quoril", ERROR_INVALID_NAME, ""},
      {"a/b", ERROR_INVALID_NAME, ""},
      {".hidden", ERROR_INVALID_NAME, ""},
      {"with space", ERROR_INVALID_NAME, ""},
  };
  for (const Row& row : rows) {
    std::string fileName;
    EXPECT_EQ(ServiceUnitFileName(row.name, fileName), row.error) << row.name;
    if (row.error == ERROR_SUCCESS) {
      EXPECT_EQ(fileName, row.fileName) << row.name;
    }
  }
  std::string fileName;
  EXPECT_EQ(ServiceUnitFileName(nullptr, fileName), ERROR_INVALID_NAME);
  EXPECT_EQ(ServiceUnitFileName(std::string(201, 'a').c_str(), fileName), ERROR_INVALID_NAME);
}

TEST(ServiceTexts, ExecStartTakesThePathAsOneWordWithoutExpansion) {
  struct Row {
    const char* name;
    const char* path;
    Win32Error error;
    const char* word;
  };
  const Row rows[] = {
      {"plain", "/usr/local/sbin/quorld", ERROR_SUCCESS, "/usr/local/sbin/quorld"},
      {"blank", "/opt/my tftp/quorld", ERROR_SUCCESS, "\"/opt/my tftp/quorld\""},
      {"specifier", "/opt/100%/quorld", ERROR_SUCCESS, "/opt/100%%/quorld"},
      {"variable", "/opt/$HOME/quorld", ERROR_SUCCESS, "/opt/$$HOME/quorld"},
      {"double quote", "/opt/a\"b/quorld", ERROR_SUCCESS, "\"/opt/a\\\"b/quorld\""},
      {"single quote", "/opt/a'b/quorld", ERROR_SUCCESS, "\"/opt/a'b/quorld\""},
      {"backslash", "/opt/a\\b/quorld", ERROR_SUCCESS, "\"/opt/a\\\\b/quorld\""},
      {"relative", "quorld", ERROR_INVALID_NAME, ""},
      {"newline", "/opt/a\nb/quorld", ERROR_INVALID_NAME, ""},
      {"tab", "/opt/a\tb/quorld", ERROR_INVALID_NAME, ""},
  };
  for (const Row& row : rows) {
    std::string word;
    EXPECT_EQ(ServiceExecPath(row.path, word), row.error) << row.name;
    if (row.error == ERROR_SUCCESS) {
      EXPECT_EQ(word, row.word) << row.name;
    }
  }
}

// The sandbox is checked by systemd-analyze (test_install.py); here its exact text, so that
// every change to it is a deliberate one.
TEST(ServiceTexts, UnitFileOfADemandStartNotifyServiceInItsSandbox) {
  std::string text;
  ASSERT_EQ(ServiceUnitText(QuorilDefinition("/usr/sbin/quorld"), text), ERROR_SUCCESS);
  EXPECT_EQ(text,
            "[Unit]\nDescription=Quoril\nWants=network-online.target\n"
            "After=network-online.target\n\n[Service]\nType=notify\nExecStart=/usr/sbin/quorld\n"
            "User=quoril\n"
            "AmbientCapabilities=CAP_NET_BIND_SERVICE\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
            "NoNewPrivileges=yes\nProtectSystem=full\nProtectHome=yes\nPrivateTmp=yes\n"
            "PrivateDevices=yes\nPrivateMounts=yes\nProtectKernelTunables=yes\n"
            "ProtectKernelModules=yes\nProtectKernelLogs=yes\nProtectControlGroups=yes\n"
            "ProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\nProcSubset=pid\n"
            "RestrictNamespaces=yes\nRestrictRealtime=yes\nRestrictSUIDSGID=yes\n"
            "LockPersonality=yes\nMemoryDenyWriteExecute=yes\nRemoveIPC=yes\n"
            "RestrictAddressFamilies=AF_INET AF_INET6 AF_NETLINK AF_UNIX\n"
            "SystemCallArchitectures=native\n"
            "SystemCallFilter=@system-service\nSystemCallFilter=~@privileged @resources\n"
            "SystemCallErrorNumber=EPERM\nLogsDirectory=quoril\nLogsDirectoryMode=0750\n"
            "LimitNOFILE=65536\n");

  // Names that make a unit but no account name.
  for (const char* name : {"9lives", "quoril.tftp", "a-name-of-thirty-three-characters"}) {
    ServiceDefinition noAccount = QuorilDefinition("/usr/sbin/quorld");
    noAccount.serviceName = name;
    EXPECT_EQ(ServiceUnitText(noAccount, text), ERROR_INVALID_NAME) << name;
  }

  ServiceDefinition badName = QuorilDefinition("/usr/sbin/quorld");
  badName.displayName = "Quoril\n[Install]";
  EXPECT_EQ(ServiceUnitText(badName, text), ERROR_INVALID_PARAMETER);
}

TEST(ServiceTexts, NotificationOfEachReport) {
  struct Row {
    const char* name;
    ServiceStatusRecord status;
    const char* text;
  };
  const Row rows[] = {
      {"start pending",
       {kServiceWin32OwnProcess, kServiceStartPending, 0, 0, 0, 1, 3000},
       "EXTEND_TIMEOUT_USEC=3000000\nSTATUS=Starting (check point 1)\nX_STATE=2\n"
       "X_CONTROLS_ACCEPTED=0\nX_EXIT_CODE=0\nX_SERVICE_EXIT_CODE=0\nX_CHECK_POINT=1\n"
       "X_WAIT_HINT=3000\n"},
      {"running",
       {kServiceWin32OwnProcess, kServiceRunning, 3, 0, 0, 0, 0},
       "READY=1\nSTATUS=Running\nX_STATE=4\nX_CONTROLS_ACCEPTED=3\nX_EXIT_CODE=0\n"
       "X_SERVICE_EXIT_CODE=0\nX_CHECK_POINT=0\nX_WAIT_HINT=0\n"},
      {"paused",
       {kServiceWin32OwnProcess, kServicePaused, 3, 0, 0, 0, 0},
       "STATUS=Paused\nX_STATE=7\nX_CONTROLS_ACCEPTED=3\nX_EXIT_CODE=0\n"
       "X_SERVICE_EXIT_CODE=0\nX_CHECK_POINT=0\nX_WAIT_HINT=0\n"},
      {"stop pending with a hint",
       {kServiceWin32OwnProcess, kServiceStopPending, 3, 0, 0, 1, 6000},
       "STOPPING=1\nEXTEND_TIMEOUT_USEC=6000000\nSTATUS=Stopping (check point 1)\nX_STATE=3\n"
       "X_CONTROLS_ACCEPTED=3\nX_EXIT_CODE=0\nX_SERVICE_EXIT_CODE=0\nX_CHECK_POINT=1\n"
       "X_WAIT_HINT=6000\n"},
      // A zero extension would end the stop at once.
      {"stop pending without a hint",
       {kServiceWin32OwnProcess, kServiceStopPending, 3, 0, 0, 0, 0},
       "STOPPING=1\nSTATUS=Stopping (check point 0)\nX_STATE=3\nX_CONTROLS_ACCEPTED=3\n"
       "X_EXIT_CODE=0\nX_SERVICE_EXIT_CODE=0\nX_CHECK_POINT=0\nX_WAIT_HINT=0\n"},
      {"stopped with exit codes",
       {kServiceWin32OwnProcess, kServiceStopped, 3, 1066, 7, 0, 0},
       "STATUS=Stopped (error 1066, service-specific "
       "0x00000007)\nX_STATE=1\nX_CONTROLS_ACCEPTED=3\nX_EXIT_CODE=1066\n"
       "X_SERVICE_EXIT_CODE=7\nX_CHECK_POINT=0\nX_WAIT_HINT=0\n"},
      {"largest hint",
       {kServiceWin32OwnProcess, kServiceStopPending, 3, 0, 0, 99, 0xFFFFFFFFu},
       "STOPPING=1\nEXTEND_TIMEOUT_USEC=4294967295000\nSTATUS=Stopping (check point 99)\n"
       "X_STATE=3\nX_CONTROLS_ACCEPTED=3\nX_EXIT_CODE=0\nX_SERVICE_EXIT_CODE=0\n"
       "X_CHECK_POINT=99\nX_WAIT_HINT=4294967295\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ServiceNotificationText(row.status), row.text) << row.name;
  }
}

// A directory that the sandbox hides is named by what hides it; its neighbours are not.
TEST(ServiceTexts, SandboxNoteNamesWhatHidesAPath) {
  const std::string home =
      "the unit's ProtectHome=yes hides /home, /root and /run/user from "
      "the service";
  const std::pair<const char*, std::string> rows[] = {
      {"/home/ann/tftp", home},
      {"/home", home},
      {"/root/boot", home},
      {"/run/user/1000/x", home},
      {"/tmp/boot", "the unit's PrivateTmp=yes gives the service a /tmp of its own"},
      {"/var/tmp", "the unit's PrivateTmp=yes gives the service a /var/tmp of its own"},
      {"/homes/ann", ""},
      {"/srv/tftp", ""},
      {"/srv/tmp", ""},
      {"tmp/boot", ""},
  };
  for (const auto& [path, note] : rows) EXPECT_EQ(SandboxNote(path), note) << path;
}

TEST(ServiceManagerPosix, CreateOpenAndDeleteTheUnitFile) {
  ScratchRoot root;
  ServiceManager manager;
  ASSERT_EQ(manager.Open(kScManagerAllAccess), ERROR_SUCCESS);
  ASSERT_TRUE(manager.IsOpen());

  Service missing;
  EXPECT_EQ(missing.Open(manager, "Quoril", kServiceAllAccess), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.Delete(), ERROR_INVALID_HANDLE);

  Service created;
  ASSERT_EQ(created.Create(manager, QuorilDefinition("/opt/quoril/quorld")), ERROR_SUCCESS);
  EXPECT_TRUE(created.IsOpen());
  std::string expected;
  ASSERT_EQ(ServiceUnitText(QuorilDefinition("/opt/quoril/quorld"), expected), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(UnitFile(root)), expected);
  struct stat info {};
  ASSERT_EQ(stat(UnitFile(root).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  // A second service of the same name, in any case, leaves the first as it was.
  Service second;
  EXPECT_EQ(second.Create(manager, QuorilDefinition("/elsewhere/quorld")), ERROR_SERVICE_EXISTS);
  ServiceDefinition upper = QuorilDefinition("/elsewhere/quorld");
  upper.serviceName = "QUORIL";
  EXPECT_EQ(second.Create(manager, upper), ERROR_SERVICE_EXISTS);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(ReadFile(UnitFile(root)), expected);
  // Nothing but the unit file is left in the directory.
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(UnitFile(root).parent_path())) {
    entries.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(entries, std::vector<std::string>{"quoril.service"});

  Service opened;
  ASSERT_EQ(opened.Open(manager, "quoril", kServiceAllAccess), ERROR_SUCCESS);
  ASSERT_EQ(opened.Delete(), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(UnitFile(root)));
  EXPECT_EQ(opened.Delete(), ERROR_SERVICE_MARKED_FOR_DELETE);
  // The other handle finds the service gone.
  EXPECT_EQ(created.Delete(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(missing.Open(manager, "Quoril", kServiceAllAccess), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(ServiceManagerPosix, RefusesWhatItCannotWrite) {
  ScratchRoot root;
  Service service;
  ServiceManager closed;
  EXPECT_EQ(service.Create(closed, QuorilDefinition("/opt/quorld")), ERROR_INVALID_HANDLE);
  EXPECT_EQ(service.Open(closed, "Quoril", kServiceAllAccess), ERROR_INVALID_HANDLE);

  ServiceManager manager;
  ASSERT_EQ(manager.Open(kScManagerAllAccess), ERROR_SUCCESS);
  EXPECT_EQ(service.Create(manager, QuorilDefinition("quorld")), ERROR_INVALID_NAME);
  ServiceDefinition badName = QuorilDefinition("/opt/quorld");
  badName.serviceName = "../../passwd";
  EXPECT_EQ(service.Create(manager, badName), ERROR_INVALID_NAME);
  EXPECT_FALSE(fs::exists(UnitFile(root)));

  // Something in the way of the unit directory: the manager cannot be opened.
  ScratchRoot blocked;
  fs::create_directories(blocked.path() / "etc");
  std::ofstream(blocked.path() / "etc/systemd") << "not a directory";
  ServiceManager refused;
  EXPECT_EQ(refused.Open(kScManagerAllAccess), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(refused.IsOpen());
}

TEST(ServiceManagerPosix, OpeningCreatesTheUnitDirectory) {
  ScratchRoot root;
  ServiceManager manager;
  ASSERT_EQ(manager.Open(kScManagerAllAccess), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(root.path() / "etc/systemd/system"));
  manager.Close();
  EXPECT_FALSE(manager.IsOpen());
}

// ---- The dispatcher ----

std::atomic<bool> gProcedureRan{false};

void RecordingProcedure(std::uint32_t, char**) {
  gProcedureRan = true;
}

TEST(ServiceDispatcherPosix, FailsAtOnceWithoutAServiceManager) {
  unsetenv("NOTIFY_SOCKET");
  const ServiceTableEntry table[] = {{"Test", RecordingProcedure}, {nullptr, nullptr}};
  EXPECT_EQ(StartServiceCtrlDispatcher(table), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  setenv("NOTIFY_SOCKET", "relative/path", 1);
  EXPECT_EQ(StartServiceCtrlDispatcher(table), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(gProcedureRan);
  EXPECT_EQ(RegisterServiceCtrlHandler("Test", [](std::uint32_t) {}), kNoStatusHandle);
  EXPECT_EQ(SetServiceStatus(kNoStatusHandle, ServiceStatusRecord{}), ERROR_INVALID_HANDLE);
}

// The notification socket of a test: receives the service's reports.
class NotifySocket {
 public:
  explicit NotifySocket(bool abstract) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string unique = "quoril-notify-" + std::to_string(getpid());
    if (abstract) {
      name_ = "@" + unique;
      std::memcpy(address.sun_path + 1, unique.data(), unique.size());
      bind(fd_, reinterpret_cast<sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + unique.size()));
    } else {
      name_ = (fs::temp_directory_path() / unique).string();
      unlink(name_.c_str());
      std::memcpy(address.sun_path, name_.data(), name_.size());
      bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    timeval timeout{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~NotifySocket() {
    close(fd_);
    if (name_[0] == '/') unlink(name_.c_str());
  }
  const std::string& name() const { return name_; }
  // The X_STATE and X_CHECK_POINT of the next report, "" when none comes.
  std::string NextReport() {
    char buffer[1024];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return "";
    const std::string text(buffer, static_cast<std::size_t>(n));
    auto field = [&text](const std::string& name) {
      const std::size_t at = text.find("\n" + name + "=");
      if (at == std::string::npos) return std::string("?");
      const std::size_t start = at + name.size() + 2;
      return text.substr(start, text.find('\n', start) - start);
    };
    return field("X_STATE") + "/" + field("X_CHECK_POINT");
  }

 private:
  int fd_ = -1;
  std::string name_;
};

std::mutex gControlsLock;
std::vector<std::uint32_t> gControls;
ServiceStatusHandle gStatusHandle = kNoStatusHandle;
std::atomic<bool> gStopped{false};

void Report(std::uint32_t state, std::uint32_t checkPoint) {
  ServiceStatusRecord status{kServiceWin32OwnProcess, state, 0, 0, 0, checkPoint, 0};
  status.controlsAccepted = state == kServiceStartPending ? 0 : 3;
  if (SetServiceStatus(gStatusHandle, status) != ERROR_SUCCESS) std::_Exit(20);
}

void TestHandler(std::uint32_t control) {
  {
    std::lock_guard lock(gControlsLock);
    gControls.push_back(control);
  }
  if (control == kServiceControlStop) {
    Report(kServiceStopPending, 1);
    gStopped = true;
  } else {
    Report(control == kServiceControlPause ? kServicePaused : kServiceRunning, 0);
  }
}

std::vector<std::uint32_t> Controls() {
  std::lock_guard lock(gControlsLock);
  return gControls;
}

bool WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 500 && !flag; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return flag;
}

// What one run of the test service does: signals sent before its handler exists, signals
// sent while it starts, and the controls its handler must see, in order.
struct HoldingScenario {
  const char* name;
  std::vector<int> early;
  std::vector<int> starting;
  std::vector<std::uint32_t> controls;
  std::vector<const char*> reports;  // X_STATE/X_CHECK_POINT of each report
};
HoldingScenario gScenario;

void SendAll(const std::vector<int>& signals) {
  for (const int signal : signals) kill(getpid(), signal);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// No control reaches the handler before the service reports running, none after it reports
// stop pending, and the held ones come in their order.
void HoldingProcedure(std::uint32_t argumentCount, char** arguments) {
  if (argumentCount != 1 || std::strcmp(arguments[0], "Test") != 0) std::_Exit(21);
  SendAll(gScenario.early);
  gStatusHandle = RegisterServiceCtrlHandler("Test", TestHandler);
  if (gStatusHandle == kNoStatusHandle) std::_Exit(22);
  Report(kServiceStartPending, 1);
  SendAll(gScenario.starting);
  if (!Controls().empty()) std::_Exit(23);
  Report(kServiceRunning, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!gStopped) kill(getpid(), SIGTERM);
  if (!WaitFor(gStopped)) std::_Exit(24);
  SendAll({SIGUSR1, SIGUSR2, SIGHUP, SIGTERM});
  if (Controls() != gScenario.controls) std::_Exit(25);
  Report(kServiceStopped, 0);
}

void RunHoldingService(const std::string& notifyName) {
  setenv("NOTIFY_SOCKET", notifyName.c_str(), 1);
  const ServiceTableEntry table[] = {{"Test", HoldingProcedure}, {nullptr, nullptr}};
  const Win32Error error = StartServiceCtrlDispatcher(table);
  std::_Exit(error == ERROR_SUCCESS ? 0 : 26);
}

TEST(ServiceDispatcherDeathTest, HoldsControlsUntilTheServiceAcceptsThem) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const HoldingScenario scenarios[] = {
      {"pause before the handler exists",
       {SIGUSR1},
       {},
       {kServiceControlPause, kServiceControlStop},
       {"2/1", "4/0", "7/0", "3/1", "1/0"}},
      {"stop while starting", {}, {SIGTERM}, {kServiceControlStop}, {"2/1", "4/0", "3/1", "1/0"}},
      {"interrogate while starting",
       {},
       {SIGHUP},
       {kServiceControlInterrogate, kServiceControlStop},
       {"2/1", "4/0", "4/0", "3/1", "1/0"}},
  };
  for (const bool abstract : {false, true}) {
    for (const HoldingScenario& scenario : scenarios) {
      gScenario = scenario;
      NotifySocket notify(abstract);
      EXPECT_EXIT(RunHoldingService(notify.name()), testing::ExitedWithCode(0), "")
          << scenario.name << " " << notify.name();
      for (const char* expected : scenario.reports) {
        EXPECT_EQ(notify.NextReport(), expected) << scenario.name << " " << notify.name();
      }
    }
  }
}

}  // namespace
}  // namespace quoril::platform
