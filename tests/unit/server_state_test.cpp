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
    std::uint32_t timeout;
    std::chrono::milliseconds age;
    bool continued, expired;
  } const rows[] = {
      {1, 500ms, false, false}, {1, 2s, false, true}, {1, 2s, true, false}, {0, 1s, true, true}};
  for (const Row& row : rows) {
    const auto server = std::make_unique<ServerState>();
    server->config.Timeout = row.timeout;
    if (row.continued) server->controls.Continue();
    std::this_thread::sleep_for(2ms);  // the continue lies in the past
    EXPECT_EQ(RequestExpired(*server, std::chrono::steady_clock::now() - row.age), row.expired);
    const auto refused =
        server->metrics.refused[static_cast<std::size_t>(Refusal::kBoundReached)].load();
    EXPECT_EQ(refused, row.expired ? 1u : 0u);
  }
}

}  // namespace
}  // namespace quoril
