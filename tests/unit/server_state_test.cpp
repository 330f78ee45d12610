#include "tftp/state/server_state.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace quoril {
namespace {

using namespace std::chrono_literals;

// A request expires once it has waited longer than Timeout since it arrived, or since the
// last continue when that came later; each expired one counts as refused at the bound.
TEST(ServerStateTest, RequestExpiresAfterTimeoutSinceArrivalOrLastContinue) {
  struct Row {
    const char* name;
    std::uint32_t timeout;
    std::chrono::milliseconds age;
    bool continued;
    bool expired;
  };
  const Row rows[] = {{"young", 1, 500ms, false, false},
                      {"old", 1, 2000ms, false, true},
                      {"old, continued since", 1, 2000ms, true, false},
                      {"continued, then older than Timeout", 0, 1000ms, true, true}};
  for (const Row& row : rows) {
    const auto server = std::make_unique<ServerState>();
    server->config.Timeout = row.timeout;
    if (row.continued) server->controls.Continue();
    if (row.timeout == 0) std::this_thread::sleep_for(2ms);
    const auto arrived = std::chrono::steady_clock::now() - row.age;
    EXPECT_EQ(RequestExpired(*server, arrived), row.expired) << row.name;
    EXPECT_EQ(server->metrics.refused[static_cast<std::size_t>(Refusal::kBoundReached)].load(),
              row.expired ? 1u : 0u)
        << row.name;
  }
}

}  // namespace
}  // namespace quoril
