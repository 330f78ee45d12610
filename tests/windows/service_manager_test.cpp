// The service control manager of the Win32 backend: a scratch service created and deleted,
// the command line it is given, and the rule for the default directory of quorld.exe.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/registry.h"
#include "platform/service_manager.h"
#include "service/install.h"

namespace quoril::platform {
namespace {

constexpr const char* kScratchService = "QuorilWindowsTest";

std::string ImagePath(const char* service) {
  RegistryKey key;
  const std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\") + service;
  if (key.Open(path.c_str()) != ERROR_SUCCESS) return "<no key>";
  std::array<std::uint8_t, 512> buffer{};
  std::uint32_t size = 0;
  if (key.QueryValue("ImagePath", buffer, size) != ERROR_SUCCESS || size == 0) return "<no value>";
  return std::string(reinterpret_cast<const char*>(buffer.data()));
}

ServiceDefinition Definition(const char* binaryPath) {
  return ServiceDefinition{
      .serviceName = kScratchService,
      .displayName = kScratchService,
      .access = kServiceAllAccess,
      .serviceType = kServiceWin32OwnProcess,
      .startType = kServiceDemandStart,
      .errorControl = kServiceErrorNormal,
      .binaryPath = binaryPath,
  };
}

// Creates the scratch service with `binaryPath` and answers the ImagePath it got; the
// service is deleted again.
std::string InstalledImagePath(const char* binaryPath) {
  ServiceManager manager;
  if (manager.Open(kScManagerAllAccess) != ERROR_SUCCESS) return "<no manager>";
  Service service;
  if (service.Create(manager, Definition(binaryPath)) != ERROR_SUCCESS) return "<not created>";
  std::string path = ImagePath(kScratchService);
  service.Delete();
  return path;
}

TEST(ServiceManager, CreateOpenAndDeleteAService) {
  ServiceManager manager;
  ASSERT_EQ(manager.Open(kScManagerAllAccess), ERROR_SUCCESS);
  ASSERT_TRUE(manager.IsOpen());
  Service missing;
  EXPECT_EQ(missing.Open(manager, kScratchService, kServiceAllAccess),
            ERROR_SERVICE_DOES_NOT_EXIST);
  {
    Service created;
    ASSERT_EQ(created.Create(manager, Definition("C:\\Tftp\\quorld.exe")), ERROR_SUCCESS);
    Service twice;
    EXPECT_EQ(twice.Create(manager, Definition("C:\\Tftp\\quorld.exe")), ERROR_SERVICE_EXISTS);
  }
  Service opened;
  ASSERT_EQ(opened.Open(manager, kScratchService, kServiceAllAccess), ERROR_SUCCESS);
  EXPECT_EQ(opened.Delete(), ERROR_SUCCESS);
  opened.Close();
  Service gone;
  EXPECT_NE(gone.Open(manager, kScratchService, kServiceAllAccess), ERROR_SUCCESS);

  ServiceManager closed;
  Service none;
  EXPECT_EQ(none.Create(closed, Definition("C:\\x.exe")), ERROR_INVALID_HANDLE);
  EXPECT_EQ(none.Delete(), ERROR_INVALID_HANDLE);
}

TEST(ServiceManager, TheProgramPathIsQuotedOnlyWhenItHoldsABlank) {
  EXPECT_EQ(InstalledImagePath("C:\\Tftp\\quorld.exe"), "C:\\Tftp\\quorld.exe");
  EXPECT_EQ(InstalledImagePath("C:\\Program Files\\Quoril\\quorld.exe"),
            "\"C:\\Program Files\\Quoril\\quorld.exe\"");
}

TEST(ServiceManager, ReportsWithoutAStatusHandleAreRefused) {
  ServiceStatusRecord status;
  status.currentState = kServiceRunning;
  EXPECT_NE(SetServiceStatus(kNoStatusHandle, status), ERROR_SUCCESS);
}

TEST(ModuleDirectory, TheExecutablesTenCharacterNameIsDropped) {
  ASSERT_EQ(PlatformModuleDirectoryRule(), ModuleDirectoryRule::kDropTenCharacterName);
  struct Case {
    std::string modulePath;
    int result;
    const char* directory;
  };
  const Case cases[] = {
      {"D:\\Tftp\\quorld.exe", 1, "D:\\Tftp"},
      {"D:\\Tools\\Tftp\\quorld.exe", 1, "D:\\Tools\\Tftp"},
      {"D:\\quorld.exe", 1, "D:"},
      {"\\quorld.exe", 0, ""},
  };
  for (const Case& c : cases) {
    std::array<char, kMaxPath> directory{};
    EXPECT_EQ(DeriveModuleDirectory(c.modulePath, PlatformModuleDirectoryRule(), directory),
              c.result)
        << c.modulePath;
    if (c.result) {
      EXPECT_STREQ(directory.data(), c.directory) << c.modulePath;
    }
  }
}

}  // namespace
}  // namespace quoril::platform
