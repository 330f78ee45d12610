// quoril-loadgen: drives many TFTP transfers at once against one server on a loopback address
// and prints one JSON line of results per run. One epoll loop, one non-blocking UDP socket per
// transfer, its own timeout and retransmission (a lost packet never hangs it), every byte
// checked against the source (see tftp_client.h).
//
//   quoril-loadgen --server 127.0.0.1 --op read --file big.bin --source /srv/big.bin
//                  --concurrency 64 --duration 10 --scenario b --label quoril
//
// Uploads name their files from --file with '#' replaced by the transfer's number; the
// runner compares what the server stored with the source afterwards.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/scenario_report.h"
#include "bench/tftp_client.h"

namespace quoril::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string server = "127.0.0.1";
  std::uint16_t port = kServerPort;
  std::string scenario = "custom";
  std::string label;
  Direction direction = Direction::kDownload;
  Mode mode = Mode::kOctet;
  std::string file;
  std::string source;
  std::uint32_t concurrency = 1;
  std::uint64_t transfers = 0;  // 0: as many as `concurrency`, or unbounded with a duration
  double durationSeconds = 0;   // 0: run `transfers` and stop
  std::uint32_t timeoutMs = 1000;
  std::uint32_t retries = 10;
  double limitSeconds = 600;        // hard bound on the whole run
  TransferOptions transferOptions;  // downloads: blksize and windowsize asked
};

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueFd() { Reset(); }
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

void Usage() {
  std::fputs(
      "usage: quoril-loadgen --server 127.x.y.z [--port 69] --op read|write\n"
      "         [--mode octet|netascii] --file REMOTE_NAME --source LOCAL_FILE\n"
      "         [--concurrency N] [--transfers N | --duration SECONDS]\n"
      "         [--timeout-ms 1000] [--retries 10] [--limit-s 600]\n"
      "         [--blksize N] [--windowsize N] (downloads)\n"
      "         [--scenario NAME] [--label SERVER]\n",
      stderr);
}

bool ParseUnsigned(const char* text, std::uint64_t max, std::uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed > max || text[0] == '-') return false;
  value = parsed;
  return true;
}

bool ParseSeconds(const char* text, double& value) {
  char* end = nullptr;
  const double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(parsed) || parsed < 0) return false;
  value = parsed;
  return true;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const char* value = argv[++i];
    std::uint64_t number = 0;
    if (name == "--server") {
      options.server = value;
    } else if (name == "--port") {
      if (!ParseUnsigned(value, 65535, number) || number == 0) return std::nullopt;
      options.port = static_cast<std::uint16_t>(number);
    } else if (name == "--scenario") {
      options.scenario = value;
    } else if (name == "--label") {
      options.label = value;
    } else if (name == "--op") {
      const std::string_view op = value;
      if (op != "read" && op != "write") return std::nullopt;
      options.direction = op == "read" ? Direction::kDownload : Direction::kUpload;
    } else if (name == "--mode") {
      const std::string_view mode = value;
      if (mode != "octet" && mode != "netascii") return std::nullopt;
      options.mode = mode == "octet" ? Mode::kOctet : Mode::kNetascii;
    } else if (name == "--file") {
      options.file = value;
    } else if (name == "--source") {
      options.source = value;
    } else if (name == "--concurrency") {
      if (!ParseUnsigned(value, 100000, number) || number == 0) return std::nullopt;
      options.concurrency = static_cast<std::uint32_t>(number);
    } else if (name == "--transfers") {
      if (!ParseUnsigned(value, 1u << 30, number)) return std::nullopt;
      options.transfers = number;
    } else if (name == "--duration") {
      if (!ParseSeconds(value, options.durationSeconds)) return std::nullopt;
    } else if (name == "--timeout-ms") {
      if (!ParseUnsigned(value, 60000, number) || number == 0) return std::nullopt;
      options.timeoutMs = static_cast<std::uint32_t>(number);
    } else if (name == "--retries") {
      if (!ParseUnsigned(value, 1000, number)) return std::nullopt;
      options.retries = static_cast<std::uint32_t>(number);
    } else if (name == "--blksize") {
      if (!ParseUnsigned(value, 65464, number) || number < 8) return std::nullopt;
      options.transferOptions.blockSize = static_cast<std::uint32_t>(number);
    } else if (name == "--windowsize") {
      if (!ParseUnsigned(value, 65535, number) || number == 0) return std::nullopt;
      options.transferOptions.windowSize = static_cast<std::uint32_t>(number);
    } else if (name == "--limit-s") {
      if (!ParseSeconds(value, options.limitSeconds)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (options.file.empty() || options.source.empty()) return std::nullopt;
  if (options.direction == Direction::kUpload && options.mode != Mode::kOctet) {
    std::fputs("quoril-loadgen: uploads are octet only\n", stderr);
    return std::nullopt;
  }
  if (options.transfers == 0 && options.durationSeconds == 0) {
    options.transfers = options.concurrency;
  }
  return options;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

// Room for one socket per transfer besides the few the process holds anyway.
void RaiseDescriptorLimit(std::uint32_t concurrency) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(concurrency) + 64;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur =
      limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

constexpr std::uint32_t kNil = std::numeric_limits<std::uint32_t>::max();

struct Slot {
  UniqueFd socket;
  ClientTransfer transfer;
  bool busy = false;
  Clock::time_point started;
  Clock::time_point deadline;
  // The timer list: busy slots in deadline order. With one fixed timeout, a slot whose timer
  // starts again always goes to the tail.
  std::uint32_t previous = kNil;
  std::uint32_t next = kNil;
};

class LoadGenerator {
 public:
  LoadGenerator(const Options& options, std::vector<std::uint8_t> source, sockaddr_in server)
      : options_(options),
        source_(std::move(source)),
        server_(server),
        slots_(options.concurrency) {
    tally_.scenario = options.scenario;
    tally_.label = options.label;
    tally_.direction = options.direction;
    tally_.mode = options.mode;
    tally_.concurrency = options.concurrency;
    if (options.transfers > 0) tally_.latenciesMs.reserve(options.transfers);
  }

  bool Run() {
    epoll_ = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
    if (epoll_.Get() < 0) {
      std::perror("quoril-loadgen: epoll_create1");
      return false;
    }
    const double cpuBefore = CpuSeconds();
    begin_ = Clock::now();
    lastEnd_ = begin_;
    const auto seconds = [](double s) {
      return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    stopStarting_ = begin_ + seconds(options_.durationSeconds);
    hardLimit_ = begin_ + seconds(options_.limitSeconds);
    for (std::uint32_t i = 0; i < slots_.size(); ++i) StartNext(i, begin_);

    std::vector<epoll_event> events(1024);
    while (busy_ > 0) {
      Clock::time_point now = Clock::now();
      if (now >= hardLimit_) {
        GiveUpAll(now);
        break;
      }
      ExpireTimers(now);
      if (busy_ == 0) break;
      int waitMs = 1000;
      if (head_ != kNil) {
        const auto left = slots_[head_].deadline - now;
        waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        if (waitMs < 0) waitMs = 0;
      }
      const int ready =
          epoll_wait(epoll_.Get(), events.data(), static_cast<int>(events.size()), waitMs);
      if (ready < 0) {
        if (errno == EINTR) continue;
        std::perror("quoril-loadgen: epoll_wait");
        GiveUpAll(Clock::now());
        break;
      }
      now = Clock::now();
      for (int i = 0; i < ready; ++i) Drain(events[i].data.u32, now);
    }
    tally_.wallSeconds = std::chrono::duration<double>(lastEnd_ - begin_).count();
    tally_.clientCpuSeconds = CpuSeconds() - cpuBefore;
    return true;
  }

  ScenarioTally& tally() { return tally_; }

 private:
  bool MayStart(Clock::time_point now) const {
    if (options_.transfers > 0 && tally_.started >= options_.transfers) return false;
    if (options_.durationSeconds > 0 && now >= stopStarting_) return false;
    return true;
  }

  std::string RemoteName(std::uint64_t number) const {
    std::string name = options_.file;
    const std::size_t mark = name.find('#');
    if (mark != std::string::npos) name.replace(mark, 1, std::to_string(number));
    return name;
  }

  void StartNext(std::uint32_t index, Clock::time_point now) {
    if (!MayStart(now)) return;
    Slot& slot = slots_[index];
    const std::uint64_t number = tally_.started++;
    slot.started = now;
    if (!StartTransfer(slot.transfer, options_.direction, options_.mode, RemoteName(number),
                       source_, options_.retries, options_.transferOptions)) {
      CountTransfer(tally_, slot.transfer, 0);
      return;  // this slot rests: the same name would fail again
    }
    slot.socket = UniqueFd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = index;
    if (slot.socket.Get() < 0 ||
        epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, slot.socket.Get(), &event) != 0) {
      std::perror("quoril-loadgen: socket");
      slot.transfer.state = State::kFailed;
      slot.transfer.failure = Failure::kLocal;
      slot.socket.Reset();
      CountTransfer(tally_, slot.transfer, 0);
      return;  // likewise: the slot rests rather than spin on a resource that is short
    }
    slot.busy = true;
    ++busy_;
    Send(slot, ServerAddress(slot));
    Link(index, now);
  }

  sockaddr_in ServerAddress(const Slot& slot) const {
    sockaddr_in to = server_;
    if (slot.transfer.serverPort != 0) to.sin_port = htons(slot.transfer.serverPort);
    return to;
  }

  // A datagram the kernel would not take is lost like one on the wire: the timer resends it.
  void Send(const Slot& slot, const sockaddr_in& to) {
    sendto(slot.socket.Get(), slot.transfer.packet.data(), slot.transfer.packetLength, 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

  void Drain(std::uint32_t index, Clock::time_point now) {
    if (index >= slots_.size()) return;
    Slot& slot = slots_[index];
    // Larger than any TFTP packet, so that an oversized one is seen whole and refused.
    static std::array<std::uint8_t, 65536> buffer;
    while (slot.busy) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t received =
          recvfrom(slot.socket.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (received < 0) return;  // EAGAIN, or an error the timer will cover
      if (from.sin_family != AF_INET || from.sin_addr.s_addr != server_.sin_addr.s_addr) {
        continue;  // not from the server's host: not part of any transfer
      }
      const std::span<const std::uint8_t> datagram(buffer.data(),
                                                   static_cast<std::size_t>(received));
      const Reaction reaction =
          OnDatagram(slot.transfer, datagram, ntohs(from.sin_port), options_.retries);
      if (reaction.answerStray) {
        sendto(slot.socket.Get(), kStrayError.data(), kStrayError.size(), 0,
               reinterpret_cast<const sockaddr*>(&from), sizeof from);
      }
      if (reaction.sendPacket) Send(slot, ServerAddress(slot));
      if (slot.transfer.state != State::kRunning) {
        Finish(index, now);
        return;
      }
      if (reaction.progressed) {
        Unlink(index);
        Link(index, now);
      }
    }
  }

  void ExpireTimers(Clock::time_point now) {
    while (head_ != kNil && slots_[head_].deadline <= now) {
      const std::uint32_t index = head_;
      Slot& slot = slots_[index];
      const Reaction reaction = OnTimeout(slot.transfer);
      if (slot.transfer.state != State::kRunning) {
        Finish(index, now);
        continue;
      }
      if (reaction.sendPacket) Send(slot, ServerAddress(slot));
      Unlink(index);
      Link(index, now);
    }
  }

  void Finish(std::uint32_t index, Clock::time_point now) {
    Slot& slot = slots_[index];
    Unlink(index);
    slot.socket.Reset();  // closing takes it out of the epoll set too
    slot.busy = false;
    --busy_;
    CountTransfer(tally_, slot.transfer,
                  std::chrono::duration<double, std::milli>(now - slot.started).count());
    lastEnd_ = now;
    StartNext(index, now);
  }

  void GiveUpAll(Clock::time_point now) {
    for (std::uint32_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i].busy) continue;
      slots_[i].transfer.state = State::kFailed;
      slots_[i].transfer.failure = Failure::kTimeout;
      stopStarting_ = now;  // nothing new after the limit
      Finish(i, now);
    }
  }

  void Link(std::uint32_t index, Clock::time_point now) {
    Slot& slot = slots_[index];
    slot.deadline = now + std::chrono::milliseconds(options_.timeoutMs);
    slot.previous = tail_;
    slot.next = kNil;
    if (tail_ != kNil) {
      slots_[tail_].next = index;
    } else {
      head_ = index;
    }
    tail_ = index;
  }

  void Unlink(std::uint32_t index) {
    Slot& slot = slots_[index];
    if (slot.previous != kNil) {
      slots_[slot.previous].next = slot.next;
    } else if (head_ == index) {
      head_ = slot.next;
    }
    if (slot.next != kNil) {
      slots_[slot.next].previous = slot.previous;
    } else if (tail_ == index) {
      tail_ = slot.previous;
    }
    slot.previous = kNil;
    slot.next = kNil;
  }

  const Options& options_;
  const std::vector<std::uint8_t> source_;
  const sockaddr_in server_;
  std::vector<Slot> slots_;
  UniqueFd epoll_;
  ScenarioTally tally_;
  std::uint32_t busy_ = 0;
  std::uint32_t head_ = kNil;
  std::uint32_t tail_ = kNil;
  Clock::time_point begin_;
  Clock::time_point lastEnd_;
  Clock::time_point stopStarting_;
  Clock::time_point hardLimit_;
};

int Main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    Usage();
    return 2;
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(options->port);
  // Loopback only: this tool floods its target, and its targets live on this machine.
  if (inet_pton(AF_INET, options->server.c_str(), &server.sin_addr) != 1 ||
      (ntohl(server.sin_addr.s_addr) >> 24) != 127) {
    std::fprintf(stderr, "quoril-loadgen: %s is not a loopback address (127.0.0.0/8)\n",
                 options->server.c_str());
    return 2;
  }
  std::optional<std::vector<std::uint8_t>> source = ReadWholeFile(options->source);
  if (!source) {
    std::fprintf(stderr, "quoril-loadgen: cannot read %s\n", options->source.c_str());
    return 2;
  }
  RaiseDescriptorLimit(options->concurrency);
  LoadGenerator generator(*options, std::move(*source), server);
  if (!generator.Run()) return 1;
  const std::string report = FormatReport(generator.tally());
  std::printf("%s\n", report.c_str());
  return generator.tally().failed == 0 ? 0 : 3;
}

}  // namespace
}  // namespace quoril::bench

int main(int argc, char** argv) {
  return quoril::bench::Main(argc, argv);
}
