// The HTTP endpoint of MetricsAddress: GET /metrics (the Prometheus exposition) and
// GET /healthz, 404 for anything else. One thread of its own serves every connection, each
// for a bounded time and size, so that a slow or hostile peer costs a slot, never a transfer.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

#include "observe/metrics.h"
#include "platform/stream_sockets.h"

namespace quoril {

// The answer to one request's bytes (up to the blank line that ends its head); empty when
// the request is to be dropped unanswered.
std::string AnswerRequest(std::string_view head, const Metrics& metrics,
                          const ServiceReadings& readings);

class MetricsEndpoint {
 public:
  MetricsEndpoint() = default;
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;
  ~MetricsEndpoint() { Stop(); }

  // Binds `address` (ADDRESS:PORT) and serves `metrics` from a thread of its own, reading the
  // service with `reader` at each request; both must outlive the endpoint's Stop. A failure is
  // reported (EVENT_METRICS_ADDRESS, with the reason) and the service goes on without the endpoint.
  // Answers whether it serves.
  bool Start(const std::string& address, const Metrics& metrics, ServiceReader reader);
  // Ends the thread and closes every socket; waits at most one wait slice.
  void Stop();

 private:
  void Serve(const Metrics& metrics, const ServiceReader& reader);

  platform::StreamListener listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace quoril
