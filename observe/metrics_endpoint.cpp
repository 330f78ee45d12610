#include "observe/metrics_endpoint.h"

#include <array>
#include <chrono>
#include <span>
#include <utility>

#include "config/event_reporter.h"
#include "platform/failure_detail.h"

namespace quoril {

namespace {

using Clock = std::chrono::steady_clock;

// A request's head larger than this, or slower than kRequestTime, is dropped unanswered:
// Prometheus' and curl's are a few hundred bytes, sent at once.
constexpr std::size_t kMaxRequestHead = 2048;
constexpr auto kRequestTime = std::chrono::milliseconds(1000);
constexpr std::uint32_t kSendTime = 1000;
constexpr int kBacklog = 64;
// How often the thread looks whether it is to stop.
constexpr std::uint32_t kWaitSlice = 100;

struct Slot {
  platform::StreamConnection connection;
  std::array<std::uint8_t, kMaxRequestHead> head{};
  std::size_t used = 0;
  Clock::time_point since{};
};

std::string Response(std::string_view status, std::string_view type, const std::string& body) {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\nContent-Type: ";
  out += type;
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  out += body;
  return out;
}

// Reads what came on `slot`; answers whether the connection stays open for more.
bool ReadSlot(Slot& slot, const Metrics& metrics, const ServiceReader& reader) {
  std::size_t received = 0;
  const std::span<std::uint8_t> room = std::span(slot.head).subspan(slot.used);
  if (slot.connection.ReceiveWithin(0, room, received) != ERROR_SUCCESS || received == 0) {
    return false;
  }
  slot.used += received;
  const std::string_view head(reinterpret_cast<const char*>(slot.head.data()), slot.used);
  if (head.find("\r\n\r\n") == std::string_view::npos &&
      head.find("\n\n") == std::string_view::npos) {
    return slot.used < slot.head.size();  // a full head without its end is dropped
  }
  const std::string answer = AnswerRequest(head, metrics, reader());
  slot.connection.SendAll(
      std::span(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()), kSendTime);
  return false;
}

}  // namespace

std::string AnswerRequest(std::string_view head, const Metrics& metrics,
                          const ServiceReadings& readings) {
  const std::size_t lineEnd = head.find_first_of("\r\n");
  const std::string_view line = head.substr(0, lineEnd);
  const std::size_t firstSpace = line.find(' ');
  const std::size_t secondSpace = line.find(' ', firstSpace + 1);
  if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos ||
      !line.substr(secondSpace + 1).starts_with("HTTP/1.")) {
    return {};
  }
  const std::string_view method = line.substr(0, firstSpace);
  const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  const std::string_view path = target.substr(0, target.find('?'));
  constexpr std::string_view kText = "text/plain; charset=utf-8";
  if (method == "GET" && path == "/metrics") {
    return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8",
                    ExposeMetrics(metrics, readings));
  }
  if (method == "GET" && path == "/healthz") {
    std::string reason;
    const bool healthy = Healthy(readings, reason);
    return Response(healthy ? "200 OK" : "503 Service Unavailable", kText, reason + "\n");
  }
  return Response("404 Not Found", kText, "not found\n");
}

bool MetricsEndpoint::Start(const std::string& address, const Metrics& metrics,
                            ServiceReader reader) {
  platform::SocketAddress local;
  Win32Error error = platform::ParseEndpoint(address, local);
  if (error == ERROR_SUCCESS) error = listener_.Open(local, kBacklog);
  if (error != ERROR_SUCCESS) {
    platform::NoteFailureDetail("MetricsAddress " + address + ": " +
                                platform::DescribeError(error));
    EventReporter(EVENT_METRICS_ADDRESS);
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this, &metrics, reader = std::move(reader)] { Serve(metrics, reader); });
  return true;
}

void MetricsEndpoint::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  listener_.Close();
}

void MetricsEndpoint::Serve(const Metrics& metrics, const ServiceReader& reader) {
  std::array<Slot, platform::kMaxWatchedStreams> slots;
  std::array<const platform::StreamConnection*, platform::kMaxWatchedStreams> watched{};
  std::array<bool, platform::kMaxWatchedStreams> ready{};
  for (std::size_t k = 0; k < slots.size(); ++k) watched[k] = &slots[k].connection;
  while (!stop_) {
    bool incoming = false;
    const Win32Error error =
        platform::WaitForStreams(listener_, watched, kWaitSlice, ready, incoming);
    if (error != ERROR_SUCCESS && error != WAIT_TIMEOUT) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSlice));
      continue;
    }
    const Clock::time_point now = Clock::now();
    for (std::size_t k = 0; k < slots.size(); ++k) {
      Slot& slot = slots[k];
      if (!slot.connection.IsOpen()) continue;
      if ((ready[k] && !ReadSlot(slot, metrics, reader)) || now - slot.since > kRequestTime) {
        slot.connection.Close();
      }
    }
    if (!incoming) continue;
    platform::StreamConnection connection;
    if (listener_.AcceptWithin(0, connection) != ERROR_SUCCESS) continue;
    // A free slot, or else the oldest: a crowd of idle peers cannot shut a scraper out.
    Slot* chosen = &slots[0];
    for (Slot& slot : slots) {
      if (!slot.connection.IsOpen()) {
        chosen = &slot;
        break;
      }
      if (slot.since < chosen->since) chosen = &slot;
    }
    chosen->connection = std::move(connection);
    chosen->used = 0;
    chosen->since = now;
  }
  for (Slot& slot : slots) slot.connection.Close();
}

}  // namespace quoril
