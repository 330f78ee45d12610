// The event log of the Win32 backend: a source registered, one entry by identifier, and the
// answers without a registered source.
#include <gtest/gtest.h>

#include "messages.h"
#include "platform/event_log.h"

namespace quoril::platform {
namespace {

TEST(EventSource, RegisterReportAndDeregister) {
  EventSource source;
  ASSERT_EQ(source.Register("Quoril"), ERROR_SUCCESS);
  EXPECT_EQ(source.Report(kEventlogInformationType, EVENT_SERVICE_STARTED), ERROR_SUCCESS);
  EXPECT_EQ(source.Report(kEventlogInformationType, EVENT_SOCKETS_STARTUP), ERROR_SUCCESS);
  source.Deregister();
  EXPECT_EQ(source.Report(kEventlogInformationType, EVENT_SERVICE_STOPPED), ERROR_INVALID_HANDLE);
}

TEST(EventSource, NoNameNoSource) {
  EventSource source;
  EXPECT_EQ(source.Register(nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(source.Register(""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(source.Report(kEventlogInformationType, EVENT_SERVICE_STARTED), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace quoril::platform
