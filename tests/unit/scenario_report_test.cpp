#include "bench/scenario_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quoril::bench {
namespace {

TEST(ScenarioReport, PercentileIsTheNearestRank) {
  const struct {
    std::vector<double> values;
    double p;
    double expected;
  } rows[] = {
      {{}, 50, 0},
      {{7}, 99, 7},
      {{3, 1, 2}, 50, 2},
      {{1, 2, 3, 4}, 50, 2},
      {{1, 2, 3, 4}, 100, 4},
      {{5, 4, 3, 2, 1, 10, 9, 8, 7, 6}, 99, 10},
      {{5, 4, 3, 2, 1, 10, 9, 8, 7, 6}, 10, 1},
  };
  for (const auto& row : rows) {
    std::vector<double> values = row.values;
    EXPECT_EQ(Percentile(values, row.p), row.expected) << row.p;
  }
}

TEST(ScenarioReport, CountsDoneAndFailedTransfers) {
  ScenarioTally tally;
  ClientTransfer done;
  done.state = State::kDone;
  done.block = 3;
  done.offset = 1100;
  done.wireBytes = 1100;
  done.retransmissions = 2;
  CountTransfer(tally, done, 12.5);

  // An upload that failed before the server acknowledged its request moved no block.
  ClientTransfer refused;
  refused.direction = Direction::kUpload;
  refused.state = State::kFailed;
  refused.failure = Failure::kServerError;
  refused.errorCode = 4;
  CountTransfer(tally, refused, 1);

  ClientTransfer stalled;
  stalled.direction = Direction::kUpload;
  stalled.state = State::kFailed;
  stalled.failure = Failure::kTimeout;
  stalled.block = 5;  // DATA 5 in flight, 4 acknowledged
  CountTransfer(tally, stalled, 1);

  EXPECT_EQ(tally.done, 1u);
  EXPECT_EQ(tally.failed, 2u);
  EXPECT_EQ(tally.bytes, 1100u);
  EXPECT_EQ(tally.blocks, 3u + 0u + 4u);
  EXPECT_EQ(tally.retransmissions, 2u);
  EXPECT_EQ(tally.lastErrorCode, 4u);
  EXPECT_EQ(tally.latenciesMs, std::vector<double>{12.5});
}

TEST(ScenarioReport, ReportIsOneLineOfJsonWithEveryFigure) {
  ScenarioTally tally;
  tally.scenario = "b";
  tally.label = "quo\"ril";
  tally.started = 4;
  tally.done = 4;
  tally.bytes = 4 * 1024 * 1024;
  tally.wallSeconds = 2;
  tally.failures[static_cast<std::size_t>(Failure::kMismatch)] = 1;
  tally.latenciesMs = {4, 1, 3, 2};
  const std::string report = FormatReport(tally);
  EXPECT_EQ(report.find('\n'), std::string::npos);
  EXPECT_EQ(report.front(), '{');
  EXPECT_EQ(report.back(), '}');
  for (const char* field :
       {"\"scenario\":\"b\"", "\"label\":\"quo\\\"ril\"", "\"done\":4", "\"failed\":0",
        "\"failures\":{\"mismatch\":1}", "\"transfers_per_s\":2", "\"mib_per_s\":2", "\"p50_ms\":2",
        "\"p99_ms\":4", "\"retransmissions\":0", "\"wall_s\":2"}) {
    EXPECT_NE(report.find(field), std::string::npos) << field << " in " << report;
  }
}

}  // namespace
}  // namespace quoril::bench
