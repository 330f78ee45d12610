#include "tftp/listener.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "config/event_reporter.h"
#include "config/server_config.h"
#include "config/transfer_log.h"
#include "observe/metrics_endpoint.h"
#include "observe/transfer_record.h"
#include "platform/event_poller.h"
#include "platform/failure_detail.h"
#include "platform/service_manager.h"
#include "platform/strings.h"
#include "tftp/client_turns.h"
#include "tftp/event_loop.h"
#include "tftp/file_names.h"
#include "tftp/single_port.h"
#include "tftp/transfer_limit.h"
#include "tftp/transfer_ports.h"
#include "tftp/transfer_session.h"

namespace quoril {

LocalAddressTable gLocalAddressTable;
namespace {
alignas(platform::PrivateHeap) unsigned char gRequestHeapStorage[sizeof(platform::PrivateHeap)];
}  // namespace
platform::PrivateHeap& gRequestHeap = *::new (gRequestHeapStorage) platform::PrivateHeap();
std::atomic<std::int32_t> RunningTransfers{0};
ServiceHooks gServiceHooks;

namespace {

// How long the shutdown lets running transfers finish on their own, one wait per stop-pending
// report, before it cancels them.
constexpr auto kShutdownGraceStep = std::chrono::milliseconds(50);
// How long it then waits for the cancelled transfers to end.
constexpr auto kCancelWait = std::chrono::seconds(10);
// Addresses looked at, of one family, when there are more than the table holds: the ones
// beyond are neither served nor reported.
constexpr std::size_t kMostAddressesListed = 1 << 16;
// How often the listener, waiting for a transfer to end at the bound, looks for a stop.
constexpr auto kRoomCheck = std::chrono::milliseconds(100);

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
bool OpenPortSockets() {
  LocalAddressTable& table = gLocalAddressTable;
  if (platform::GetHostName(table.hostName) != ERROR_SUCCESS) {
    ReportEndingFailure(EVENT_HOST_NAME);
    return false;
  }
  if (!EnumerateLocalAddresses()) {
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
  return true;
}

// Answers the record for the next datagram. A full heap waits for a transfer thread to
// free its record: every one does so at once, and a request is never dropped for room.
RequestRecord* AllocateRecord() {
  for (;;) {
    if (void* block = gRequestHeap.Allocate()) return static_cast<RequestRecord*>(block);
    if (!gRequestHeap.Exists()) return nullptr;
    gRequestHeap.WaitForRoom();
  }
}

void FreeRecord(RequestRecord* record) {
  gRequestHeap.Free(record);
}

void ReceiveLoop() {
  LocalAddressTable& table = gLocalAddressTable;
  const std::uint32_t count = table.count;
  // The socket served last. Each pass looks first at the one below it and wraps around, so
  // that a flooded address cannot starve the others; the first pass starts at the highest.
  std::uint32_t last = 0;
  // A place among the running transfers, taken before the next datagram is: at the bound the
  // requests wait in the port sockets' queues until a transfer ends.
  bool admitted = false;
  for (;;) {
    if (!admitted) admitted = AdmitTransfer();
    // A stop goes on to the wait below, which the stop ends.
    if (!admitted && !table.sockets.Controls().stopRequested) {
      // Requests that wait meanwhile let transfers whose clients went silent make room.
      if (!RequestsWaiting() && table.sockets.AnyQueued()) NoteRequestsWaiting();
      WaitForRoom(kRoomCheck);
      continue;
    }
    platform::PortSocketSet::ReadSet set;
    std::uint32_t inSet = 0;
    for (std::uint32_t k = count; k-- > 0 && inSet < platform::PortSocketSet::kMaxWaitSet;) {
      set.set(k);
      ++inSet;
    }
    if (table.sockets.Wait(set) != ERROR_SUCCESS) {
      ReportEndingFailure(EVENT_SOCKET_BLOCK);
      break;
    }
    std::uint32_t k = count;
    for (std::uint32_t step = 1; step <= count; ++step) {
      const std::uint32_t candidate = (last + count - step) % count;
      if (set.test(candidate)) {
        k = candidate;
        break;
      }
    }
    if (k >= count) continue;
    last = k;

    RequestRecord* record = AllocateRecord();
    if (record == nullptr) {
      ReportEndingFailure(EVENT_REQUEST_MEMORY);
      break;
    }
    std::size_t received = 0;
    const Win32Error error = table.sockets.Receive(k, record->datagram, received,
                                                   record->clientAddress, &record->arrived);
    if (error == WSAENOTSOCK) {
      FreeRecord(record);
      ReportStopPending(2);
      break;
    }
    if (error == WSAEMSGSIZE || (error == ERROR_SUCCESS && received == 0)) {
      // Nothing a request could be: one stray datagram must not stop the service.
      FreeRecord(record);
      continue;
    }
    if (error != ERROR_SUCCESS) {
      FreeRecord(record);
      ReportEndingFailure(EVENT_SOCKET_READ);
      break;
    }
    if (!admitted || RequestExpired(record->arrived)) {
      FreeRecord(record);
      continue;
    }
    // The session reads names up to a terminator; stale bytes of an earlier request must
    // not stand in for the ones this datagram lacks.
    std::memset(record->datagram.data() + received, 0, record->datagram.size() - received);
    record->localIndex = static_cast<std::uint16_t>(k);
    record->length = static_cast<std::uint16_t>(received);
    if (platform::StartDetachedThread(TransferSessionThread, record) != ERROR_SUCCESS) {
      // Only this request is lost; the service goes on.
      EventReporter(EVENT_THREAD_CREATE);
      FreeRecord(record);
      continue;
    }
    admitted = false;
  }
  if (admitted) TransferEnded();
}

// Single-port mode in the thread engine: the listener reads every datagram on port 69, hands
// each to the thread of its transfer and starts a thread for each request. It reads port 69
// while paused and at the bound on transfers too, for the transfers that run on it; the
// requests it reads meanwhile wait here (DeferredRequests) until requests may start again.
class PortRouter {
 public:
  PortRouter() = default;
  PortRouter(const PortRouter&) = delete;
  PortRouter& operator=(const PortRouter&) = delete;
  ~PortRouter() { Finish(); }

  bool Start() {
    LocalAddressTable& table = gLocalAddressTable;
    buffer_.resize(gServerConfig.NegotiateOptions != 0
                       ? std::max<std::size_t>(kMaxPacket, kHeaderSize + gServerConfig.MaxBlockSize)
                       : kMaxPacket);
    if (table.count == 0 || poller_.Create() != ERROR_SUCCESS ||
        table.sockets.AddObserver(poller_) != ERROR_SUCCESS) {
      return false;
    }
    observing_ = true;
    for (std::uint32_t k = 0; k < table.count; ++k) {
      if (poller_.AddPort(table.sockets, k, k) != ERROR_SUCCESS) return false;
      ports_ = k + 1;
    }
    gRouterPoller = &poller_;
    SetRoomWake(WakeRouter);
    return true;
  }

  // Until the stop.
  void Serve() {
    while (!gLocalAddressTable.sockets.Controls().stopRequested) {
      StartDeferred();
      if (!Round(platform::EventPoller::kWaitForever)) return;
    }
    ReportStopPending(2);
  }

  // After the stop: the transfers still running go on for at most `most`.
  void RouteFor(std::chrono::milliseconds most) {
    const auto end = std::chrono::steady_clock::now() + most;
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
      if (!Round(static_cast<std::uint32_t>(left))) return;
    }
  }

  // Lets go of the port sockets before they close.
  void Finish() {
    if (gRouterPoller == &poller_) {
      SetRoomWake(nullptr);
      gRouterPoller = nullptr;
    }
    for (std::uint32_t k = ports_; k-- > 0;) poller_.RemovePort(gLocalAddressTable.sockets, k);
    ports_ = 0;
    if (observing_) gLocalAddressTable.sockets.RemoveObserver(poller_);
    observing_ = false;
    deferred_.Clear();
  }

 private:
  static constexpr int kDatagramsPerRound = 32;

  static void WakeRouter() {
    if (gRouterPoller != nullptr) gRouterPoller->Wake();
  }

  // One wait and what it found; false when the wait failed.
  bool Round(std::uint32_t timeoutMilliseconds) {
    std::array<std::uintptr_t, platform::PortSocketSet::kMaxWaitSet> ready{};
    std::size_t count = 0;
    bool woken = false;
    if (poller_.Wait(timeoutMilliseconds, ready, count, woken) != ERROR_SUCCESS) {
      ReportEndingFailure(EVENT_SOCKET_BLOCK);
      return false;
    }
    for (std::size_t k = 0; k < count; ++k) Read(static_cast<std::uint32_t>(ready[k]));
    return true;
  }

  void Read(std::uint32_t port) {
    for (int taken = 0; taken < kDatagramsPerRound; ++taken) {
      platform::SocketAddress from{};
      std::size_t length = 0;
      bool gotOne = false;
      const Win32Error error =
          gLocalAddressTable.sockets.TryReceive(port, buffer_, length, from, gotOne);
      // An answer of ours that met a closed port comes back as a failed receive; so it goes on.
      if (error == WSAECONNRESET || error == WSAEMSGSIZE) continue;
      if (error != ERROR_SUCCESS) EventReporter(EVENT_SOCKET_READ);
      if (error != ERROR_SUCCESS || !gotOne) return;
      const std::span<const std::uint8_t> datagram = std::span(buffer_).first(length);
      std::uint64_t key = 0;
      if (Classify(port, from, datagram, nullptr, key) == Arrival::kRequest &&
          !gLocalAddressTable.sockets.Controls().stopRequested) {
        deferred_.Add(port, from, datagram);
      }
    }
  }

  void StartDeferred() {
    while (!deferred_.Empty()) {
      if (gLocalAddressTable.sockets.Controls().held) return;
      if (!AdmitTransfer()) {
        if (RequestRoomWake()) continue;
        NoteRequestsWaiting();
        return;
      }
      RequestRecord* record = AllocateRecord();
      if (record == nullptr) {
        TransferEnded();
        return;
      }
      deferred_.TakeOldest(*record);
      if (RequestExpired(record->arrived)) {
        FreeRecord(record);
        TransferEnded();
        continue;
      }
      const PortTransferStart start = StartPortTransferThread(record);
      if (start != PortTransferStart::kStarted) {
        // Only this request is lost; the service goes on.
        if (start == PortTransferStart::kNoThread) EventReporter(EVENT_THREAD_CREATE);
        FreeRecord(record);
        TransferEnded();
      }
    }
  }

  static inline platform::EventPoller* gRouterPoller = nullptr;

  platform::EventPoller poller_;
  std::vector<std::uint8_t> buffer_;
  DeferredRequests deferred_;
  std::uint32_t ports_ = 0;
  bool observing_ = false;
};

// The event-loop engine takes the requests itself; the listener's thread waits for the stop.
// Answers whether the loops ran.
bool ServeFromEventLoops() {
  if (gLocalAddressTable.count == 0) {
    // Nothing to wait on, as the thread engine's listener finds too.
    ReportEndingFailure(EVENT_SOCKET_BLOCK);
    return false;
  }
  if (!StartEventLoops(gServerConfig.EventLoops)) {
    ReportEndingFailure(EVENT_THREAD_CREATE);
    return false;
  }
  ReportRunning();
  gLocalAddressTable.sockets.WaitForStop();
  ReportStopPending(2);
  return true;
}

// Where an address stands when there are more than the table holds: the host's own
// (loopback) and its links' (link-local) first, as the ones a local or network-boot client
// reaches without any configuration; then every other in the system's order.
int AddressRank(const platform::SocketAddress& address) {
  const std::span<const std::uint8_t> host = address.Host();
  if (!address.IsIPv6()) {
    if (host[0] == 127) return 0;
    return host[0] == 169 && host[1] == 254 ? 1 : 2;
  }
  constexpr std::array<std::uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::ranges::equal(host, kLoopback)) return 0;
  return host[0] == 0xFE && (host[1] & 0xC0) == 0x80 ? 1 : 2;
}

// Every address of `family`, however many, in the order that decides which are served.
bool ListHostAddresses(platform::HostAddressFamily family,
                       std::vector<platform::SocketAddress>& found) {
  found.resize(kMaxLocalAddresses);
  for (;;) {
    std::uint32_t count = 0;
    const Win32Error error =
        platform::LookupHostAddresses(gLocalAddressTable.hostName.data(), found, count, family);
    if (error == ERROR_MORE_DATA && found.size() < kMostAddressesListed) {
      found.resize(found.size() * 2);
      continue;
    }
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return false;
    found.resize(count);
    std::ranges::stable_sort(found, {}, AddressRank);
    return true;
  }
}

// Once for each address left out at the start, with the address in the event's detail.
void ReportAddressNotServed(const platform::SocketAddress& address) {
  platform::HostText text{};
  platform::FormatHost(address, text);
  platform::NoteFailureDetail(std::string("not served: ") + text.data());
  EventReporter(EVENT_ADDRESS_NOT_SERVED);
}

// What a scrape reads of the service, from the endpoint's thread.
ServiceReadings ReadService() {
  const LocalAddressTable& table = gLocalAddressTable;
  const platform::PortSocketSet::ControlState controls = table.sockets.Controls();
  ServiceReadings readings;
  readings.serving = table.count > 0;
  readings.paused = controls.held;
  readings.stopping = controls.stopRequested;
  readings.addresses = std::span(table.addresses).first(table.count);
  for (const EventCount& event : ReportedEvents()) {
    if (event.id.load() == EVENT_ADDRESS_NOT_SERVED) readings.addressesNotServed = event.count;
  }
  return readings;
}

void Shutdown(bool socketsStarted, bool eventLoops, PortRouter* router, MetricsEndpoint& endpoint) {
  LocalAddressTable& table = gLocalAddressTable;
  // Transfers still running get the time of the stop-pending reports to finish.
  for (std::uint32_t checkPoint = 3; checkPoint <= 99; ++checkPoint) {
    ReportStopPending(checkPoint);
    if (checkPoint < 99 && RunningTransfers.load() > 0) {
      if (router != nullptr) {
        router->RouteFor(kShutdownGraceStep);
      } else {
        std::this_thread::sleep_for(kShutdownGraceStep);
      }
    }
  }
  if (eventLoops) {
    // The loops end the rest at once, without a packet, each with its log line.
    StopEventLoops();
  } else if (RunningTransfers.load() > 0) {
    // The rest end at their next wait, without a packet, and write their log lines before
    // the log closes.
    platform::CancelTransferWaits();
    gClientTurns.CancelWaits();
    gTransferPorts.CancelWaits();
    gEndpoints.CancelWaits();
    const auto deadline = std::chrono::steady_clock::now() + kCancelWait;
    while (RunningTransfers.load() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (router != nullptr) router->Finish();
  for (std::uint32_t k = table.count; k-- > 0;) table.sockets.Close(k);
  if (socketsStarted && platform::SocketsCleanup() != ERROR_SUCCESS) {
    EventReporter(EVENT_SOCKETS_CLEANUP);
  }
  if (gRequestHeap.Exists()) gRequestHeap.Destroy();
  endpoint.Stop();
  WriteStopBanner();
  CloseTransferLog();
  CloseTransferRecordFile();
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

int EnumerateLocalAddresses() {
  LocalAddressTable& table = gLocalAddressTable;
  if (platform::GetHostName(table.hostName) != ERROR_SUCCESS) return 0;
  std::vector<platform::SocketAddress> ipv4;
  std::vector<platform::SocketAddress> ipv6;
  if (!ListHostAddresses(platform::HostAddressFamily::kIPv4, ipv4) ||
      (gServerConfig.EnableIPv6 != 0 &&
       !ListHostAddresses(platform::HostAddressFamily::kIPv6, ipv6))) {
    return 0;
  }
  // The table's room in order: IPv4 addresses up to their share, then IPv6 ones.
  std::uint32_t count = 0;
  const auto take = [&](const std::vector<platform::SocketAddress>& found, std::uint32_t most) {
    for (const platform::SocketAddress& address : found) {
      if (count < most) {
        table.addresses[count++] = address;
      } else {
        ReportAddressNotServed(address);
      }
    }
  };
  take(ipv4, kMaxIPv4Addresses);
  take(ipv6, kMaxLocalAddresses);
  table.count = count;
  return 1;
}

int OpenUdpSocket(platform::UdpSocket& socket, const platform::SocketAddress& local) {
  return socket.Open(local) == ERROR_SUCCESS ? 1 : 0;
}

int SetUpFromSettings() {
  ServerConfig& config = gServerConfig;
  bool isNewLog = false;
  const bool ready =
      LoadServerConfig() && EnterDefaultDirectory(config.DefaultDirectory) &&
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

std::uint32_t Listener(void*) {
  bool socketsStarted = false;
  bool eventLoops = false;
  PortRouter router;
  bool routed = false;
  MetricsEndpoint endpoint;
  if (!SetUpFromSettings() || !PrepareFileNames()) {
    ReportEndingFailure(EVENT_INIT_FAILED);
  } else if (platform::SocketsStartup(gServerConfig.EnableIPv6 != 0) != ERROR_SUCCESS) {
    ReportEndingFailure(EVENT_SOCKETS_STARTUP);
  } else {
    socketsStarted = true;
    if (gRequestHeap.Create(kRequestHeapInitialSize, kRequestHeapMaximumSize,
                            sizeof(RequestRecord)) != ERROR_SUCCESS) {
      ReportEndingFailure(EVENT_START_MEMORY);
    } else {
      EventReporter(EVENT_SERVICE_STARTED);
      gClientTurns.Prepare(SetTransferBound(), kTurnsPerAddress);
      if (OpenPortSockets()) {
        if (!gServerConfig.MetricsAddress.empty()) {
          endpoint.Start(gServerConfig.MetricsAddress, ReadService);
        }
        // Each start begins somewhere else in the range: a late packet of a transfer of the
        // previous run does not find the first transfer of this one.
        gTransferPorts.Prepare(static_cast<std::uint16_t>(gServerConfig.TransferPortLow),
                               static_cast<std::uint16_t>(gServerConfig.TransferPortHigh),
                               gLocalAddressTable.count, std::random_device{}());
        gEndpoints.Prepare();
        if (gServerConfig.EventLoops == 0 && gServerConfig.SinglePort != 0) {
          routed = true;
          if (router.Start()) {
            ReportRunning();
            router.Serve();
          } else {
            ReportEndingFailure(EVENT_SOCKET_BLOCK);
          }
        } else if (gServerConfig.EventLoops == 0) {
          ReportRunning();
          ReceiveLoop();
        } else {
          eventLoops = ServeFromEventLoops();
        }
      }
    }
  }
  Shutdown(socketsStarted, eventLoops, routed ? &router : nullptr, endpoint);
  return 0;
}

}  // namespace quoril
