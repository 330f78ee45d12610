#include "tftp/listener.h"

#include <array>
#include <chrono>
#include <optional>
#include <random>
#include <span>
#include <thread>

#include "config/event_reporter.h"
#include "config/listen_addresses.h"
#include "config/server_config.h"
#include "config/transfer_log.h"
#include "observe/metrics_endpoint.h"
#include "observe/transfer_record.h"
#include "platform/event_poller.h"
#include "platform/failure_detail.h"
#include "platform/service_manager.h"
#include "platform/strings.h"
#include "tftp/engines/event_loop.h"
#include "tftp/engines/thread_engine.h"
#include "tftp/intake/address_follower.h"
#include "tftp/names/file_names.h"

namespace quoril {

ServiceHooks gServiceHooks;

namespace {

// How long the shutdown lets running transfers finish on their own, one wait per stop-pending
// report, before it cancels them.
constexpr auto kShutdownGraceStep = std::chrono::milliseconds(50);
// How long it then waits for the cancelled transfers to end.
constexpr auto kCancelWait = std::chrono::seconds(10);

// Without a status handle (console mode) every report is refused, and the stop handling
// that a refusal runs has nothing left to stop here.
void ReportStopPending(std::uint32_t checkPoint) {
  if (gServiceHooks.statusReporter != nullptr) {
    gServiceHooks.statusReporter(platform::kServiceStopPending, 0, checkPoint, 3000);
  }
}

// The event of the failure that ended the listener, 0 while none has. Listener thread only.
std::uint32_t gEndingFailure = 0;

// Reports a failure that ends the listener; the first one is what the service stops with.
void ReportEndingFailure(std::uint32_t eventId) {
  if (gEndingFailure == 0) gEndingFailure = eventId;
  EventReporter(eventId);
}

void ReportRunning() {
  if (gServiceHooks.reportRunning != nullptr) gServiceHooks.reportRunning();
}

// Start-up steps 5 to 7: host name, addresses, one port-69 socket per address.
bool OpenPortSockets(ServerState& server, AddressFollower& follower) {
  LocalAddressTable& table = server.local;
  // The addresses come from the interfaces, not from the name; a host without one still
  // fails here.
  std::array<char, platform::kMaxPath> hostName{};
  if (platform::GetHostName(hostName) != ERROR_SUCCESS) {
    ReportEndingFailure(EVENT_HOST_NAME);
    return false;
  }
  if (const Win32Error error = follower.Open(); error != ERROR_SUCCESS) {
    platform::NoteFailureDetail("FollowAddresses: " + platform::DescribeError(error));
    ReportEndingFailure(EVENT_ADDRESS_ENUMERATE);
    return false;
  }
  if (!EnumerateLocalAddresses(server)) {
    ReportEndingFailure(EVENT_ADDRESS_ENUMERATE);
    return false;
  }
  for (std::uint32_t k = table.count; k-- > 0;) {
    platform::SocketAddress local = table.addresses[k];
    local.SetPort(kTftpPort);
    if (table.sockets.Open(k, local) != ERROR_SUCCESS) {
      ReportEndingFailure(EVENT_SOCKET_ALLOCATE);
      return false;
    }
  }
  follower.Start();
  return true;
}

// The event-loop engine takes the requests itself; the listener's thread waits for the stop.
// Answers whether the loops ran.
bool ServeFromEventLoops(ServerState& server, EventLoops& loops, AddressFollower& follower) {
  if (server.local.count == 0 && !follower.IsOpen()) {
    // Nothing to wait on, as the thread engine's listener finds too.
    ReportEndingFailure(EVENT_SOCKET_BLOCK);
    return false;
  }
  if (!loops.Start(server.config.EventLoops, &follower)) {
    ReportEndingFailure(EVENT_THREAD_CREATE);
    return false;
  }
  ReportRunning();
  server.controls.WaitForStop();
  ReportStopPending(2);
  return true;
}

// What a scrape reads of the service, from the endpoint's thread.
ServiceReadings ReadService(const ServerState& server) {
  const LocalAddressTable& table = server.local;
  const ServiceControls::State controls = server.controls.Now();
  ServiceReadings readings;
  readings.serving = table.count > 0;
  readings.paused = controls.held;
  readings.stopping = controls.stopRequested;
  readings.addresses = std::span(table.addresses).first(table.count);
  for (std::size_t k = 0; k < readings.addresses.size(); ++k) {
    if (k >= kMaxCountedAddresses || !server.metrics.addressGone[k].load()) ++readings.served;
  }
  for (const EventCount& event : ReportedEvents()) {
    if (event.id.load() == EVENT_ADDRESS_NOT_SERVED) readings.addressesNotServed = event.count;
  }
  return readings;
}

void Shutdown(ServerState& server, bool socketsStarted, EventLoops* loops, PortReader* reader,
              MetricsEndpoint& endpoint) {
  LocalAddressTable& table = server.local;
  // Transfers still running get the time of the stop-pending reports to finish.
  for (std::uint32_t checkPoint = 3; checkPoint <= 99; ++checkPoint) {
    ReportStopPending(checkPoint);
    if (checkPoint < 99 && server.limit.Running() > server.dallying.load()) {
      if (reader != nullptr) {
        if (!reader->RouteFor(kShutdownGraceStep)) ReportEndingFailure(EVENT_SOCKET_BLOCK);
      } else {
        std::this_thread::sleep_for(kShutdownGraceStep);
      }
    }
  }
  if (loops != nullptr) {
    // The loops end the rest at once, without a packet, each with its log line.
    loops->Stop();
  } else if (server.limit.Running() > 0) {
    // The rest end at their next wait, without a packet, and write their log lines before
    // the log closes.
    platform::CancelTransferWaits();
    server.cancel.Cancel();
    const auto deadline = std::chrono::steady_clock::now() + kCancelWait;
    while (server.limit.Running() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (reader != nullptr) reader->Finish();
  for (std::uint32_t k = table.count; k-- > 0;) table.sockets.Close(k);
  if (socketsStarted && platform::SocketsCleanup() != ERROR_SUCCESS) {
    EventReporter(EVENT_SOCKETS_CLEANUP);
  }
  if (server.requestHeap.Exists()) server.requestHeap.Destroy();
  endpoint.Stop();
  WriteStopBanner();
  CloseTransferLog();
  TransferRecordFile().Close();
  EventReporter(EVENT_SERVICE_STOPPED);
  if (gServiceHooks.setStopEvent != nullptr) gServiceHooks.setStopEvent(gEndingFailure);
}

// DefaultDirectory becomes the current directory, and is held as the full path that request
// names are formed against, so that the confinement's prefix test sees one spelling of it: a
// relative name, a doubled separator or a '.' in the setting would otherwise refuse every
// request.
bool EnterDefaultDirectory(std::span<char> directory) {
  if (directory[0] == '\0' || platform::SetCurrentDirectory(directory.data()) != ERROR_SUCCESS) {
    return false;
  }
  std::uint32_t length = 0;
  if (platform::GetCurrentDirectory(directory, length) != ERROR_SUCCESS ||
      length >= directory.size()) {
    return false;
  }
  platform::LowerCaseAscii(directory.first(length));
  return true;
}

}  // namespace

int SetUpFromSettings(ServerConfig& config) {
  bool isNewLog = false;
  const bool ready =
      LoadServerConfig(config) && EnterDefaultDirectory(config.DefaultDirectory) &&
      (config.EnableLogging == 0 || OpenTransferLog(config.LogFile.data(), isNewLog));
  // A failed start leaves logging off, so that its banner reaches no file.
  config.EnableLogging = ready && config.EnableLogging != 0 ? 1 : 0;
  InitLogLock();
  WriteStartBanner(isNewLog);
  // Records are an addition: a file that cannot be opened is reported, and the start goes on.
  if (ready && !config.TransferRecordFile.empty()) {
    OpenTransferRecordFile(config.TransferRecordFile);
  }
  return ready ? 1 : 0;
}

std::uint32_t Listener(ServerState& server) {
  const ServerConfig& config = server.config;
  bool socketsStarted = false;
  // Outlives the engines, which watch its watcher.
  AddressFollower follower(server);
  EventLoops loops(server);
  bool eventLoops = false;
  // Made once the settings are read: its intake reads datagrams as large as they allow.
  std::optional<PortReader> reader;
  MetricsEndpoint endpoint;
  if (!SetUpFromSettings(server.config) || !PrepareFileNames(config, server.rewriteRules)) {
    ReportEndingFailure(EVENT_INIT_FAILED);
  } else if (platform::SocketsStartup(config.EnableIPv6 != 0) != ERROR_SUCCESS) {
    ReportEndingFailure(EVENT_SOCKETS_STARTUP);
  } else {
    socketsStarted = true;
    if (server.requestHeap.Create(kRequestHeapInitialSize, kRequestHeapMaximumSize,
                                  sizeof(RequestRecord)) != ERROR_SUCCESS) {
      ReportEndingFailure(EVENT_START_MEMORY);
    } else {
      EventReporter(EVENT_SERVICE_STARTED);
      server.turns.Prepare(server.limit.SetBound(config.MaxTransfers), kTurnsPerAddress);
      if (OpenPortSockets(server, follower)) {
        if (!config.MetricsAddress.empty()) {
          endpoint.Start(config.MetricsAddress, server.metrics,
                         [&server] { return ReadService(server); });
        }
        // Each start begins somewhere else in the range: a late packet of a transfer of the
        // previous run does not find the first transfer of this one.
        server.ports.Prepare(static_cast<std::uint16_t>(config.TransferPortLow),
                             static_cast<std::uint16_t>(config.TransferPortHigh),
                             follower.IsOpen() ? kMaxLocalAddresses : server.local.count.load(),
                             std::random_device{}());
        server.endpoints.Prepare(config.SinglePort != 0);
        if (config.EventLoops == 0) {
          // With transfer sockets the service runs before its reader starts watching.
          if (config.SinglePort == 0) ReportRunning();
          if (reader.emplace(server).Start(follower)) {
            if (config.SinglePort != 0) ReportRunning();
            // It served until a stop (0), or the failure it answers.
            if (const std::uint32_t failure = reader->Serve(); failure != 0) {
              ReportEndingFailure(failure);
            } else {
              ReportStopPending(2);
            }
          } else {
            ReportEndingFailure(EVENT_SOCKET_BLOCK);
          }
        } else {
          eventLoops = ServeFromEventLoops(server, loops, follower);
        }
      }
    }
  }
  Shutdown(server, socketsStarted, eventLoops ? &loops : nullptr, reader ? &*reader : nullptr,
           endpoint);
  return 0;
}

}  // namespace quoril
