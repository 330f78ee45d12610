// Path forming and confinement, with any request a client could send: a transfer session
// takes the request as the listener hands it over and is driven to its end, so that the name
// goes the whole way a name goes in service (GetFullPathName, lower-casing, the prefix test
// against DefaultDirectory, the open confined to it). Confinement is on; the served
// directory holds links out of it (to a file, to a directory, to the root), a sibling whose
// name begins with the served directory's, and a link loop. Whatever the request, a read
// sends only a file inside, and a write leaves everything outside as it was. The full path
// itself is always well formed: absolute, '/' alone separating, no '.' or '..', formed once
// for good.
//
// Input: byte 0 picks OverwriteExisting (0 to 5); the rest is the request datagram.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/server_config.h"
#include "platform/files.h"
#include "tests/fuzz/fuzz_check.h"
#include "tftp/session/transfer_session.h"
#include "tftp/state/server_state.h"

namespace {

using quoril::ERROR_SUCCESS;

namespace fs = std::filesystem;
namespace platform = quoril::platform;

constexpr std::string_view kInside = "inside";
constexpr std::string_view kOutside = "outside";

void WriteText(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> Entries(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The server whose settings the sessions follow; lives as long as the process.
quoril::ServerState& TheServer() {
  static quoril::ServerState server;
  return server;
}

struct Tree {
  fs::path base;
  fs::path served;
  std::set<std::string> servedEntries;
  std::set<std::string> subEntries;

  Tree() {
    std::string pattern = (fs::temp_directory_path() / "quoril-fuzz-path-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    base = pattern;
    served = base / "served";
    fs::create_directories(served / "Sub");
    fs::create_directories(base / "outside");
    fs::create_directories(base / "served2");
    WriteText(served / "inside.txt", kInside);
    WriteText(served / "Sub/deeper.txt", kInside);
    WriteText(base / "outside/secret.txt", kOutside);
    WriteText(base / "served2/secret.txt", kOutside);
    fs::create_symlink("inside.txt", served / "in-link");
    fs::create_directory_symlink("Sub", served / "sub-link");
    fs::create_symlink("../outside/secret.txt", served / "out-link");
    fs::create_symlink(base / "outside/secret.txt", served / "abs-link");
    fs::create_directory_symlink("../outside", served / "dir-link");
    fs::create_directory_symlink("/", served / "root-link");
    fs::create_symlink("loop", served / "loop");
    servedEntries = Entries(served);
    subEntries = Entries(served / "Sub");
    // The service's settings as the load leaves them: DefaultDirectory lower-cased and the
    // current directory; events under a root of the run's own.
    fs::create_directories(base / "root");
    setenv("QUORIL_ROOT", (base / "root").c_str(), 1);
    std::string directory = served.string();
    for (char& c : directory) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    FUZZ_CHECK(directory.size() < TheServer().config.DefaultDirectory.size());
    std::copy(directory.begin(), directory.end(), TheServer().config.DefaultDirectory.begin());
    TheServer().config.LimitToDefaultDirectory = 1;
    FUZZ_CHECK(platform::SetCurrentDirectory(directory.c_str()) == ERROR_SUCCESS);
    FUZZ_CHECK(TheServer().requestHeap.Create(quoril::kRequestHeapInitialSize,
                                              quoril::kRequestHeapMaximumSize,
                                              sizeof(quoril::RequestRecord)) == ERROR_SUCCESS);
  }

  ~Tree() {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }

  // Nothing outside the served directory changed; what a write added inside goes again.
  void CheckAndTidy() const {
    FUZZ_CHECK(Entries(base) == (std::set<std::string>{"outside", "root", "served", "served2"}));
    for (const char* directory : {"outside", "served2"}) {
      FUZZ_CHECK(Entries(base / directory) == std::set<std::string>{"secret.txt"});
      FUZZ_CHECK(ReadText(base / directory / "secret.txt") == kOutside);
    }
    for (const auto& [directory, kept] :
         {std::pair{served, &servedEntries}, std::pair{served / "Sub", &subEntries}}) {
      for (const std::string& name : Entries(directory)) {
        if (!kept->contains(name)) fs::remove(directory / name);
      }
    }
  }
};

const Tree& TheTree() {
  static const Tree tree;
  return tree;
}

void CheckFullPath(const char* name) {
  std::array<char, platform::kMaxPath> buffer{};
  std::uint32_t length = 0;
  if (platform::GetFullPathName(name, buffer, length) != ERROR_SUCCESS) return;
  if (length >= buffer.size()) {
    // The size it needs, terminator included: given that, it fits.
    std::string larger(length, '\0');
    std::uint32_t fitted = 0;
    FUZZ_CHECK(platform::GetFullPathName(name, std::span(larger.data(), larger.size()), fitted) ==
               ERROR_SUCCESS);
    FUZZ_CHECK(fitted + 1 == length);
    return;
  }
  const std::string_view full(buffer.data(), length);
  FUZZ_CHECK(full.size() == std::strlen(buffer.data()) && full.starts_with('/'));
  FUZZ_CHECK(full.find('\\') == std::string_view::npos &&
             full.find("//") == std::string_view::npos);
  for (const std::string_view dots : {"/./", "/../"}) {
    FUZZ_CHECK(full.find(dots) == std::string_view::npos);
  }
  FUZZ_CHECK(!full.ends_with("/.") && !full.ends_with("/.."));
  // Formed once is formed for good.
  std::array<char, platform::kMaxPath> again{};
  std::uint32_t againLength = 0;
  FUZZ_CHECK(platform::GetFullPathName(buffer.data(), again, againLength) == ERROR_SUCCESS);
  FUZZ_CHECK(std::string_view(again.data(), againLength) == full);
}

// What the session sent; every packet goes to the one client.
class Recorder final : public quoril::PacketSink {
 public:
  Recorder() : PacketSink(scratch_) {}
  bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress&) override {
    sent.assign(packet.begin(), packet.end());
    ++count;
    return true;
  }
  std::vector<std::uint8_t> sent;  // the last
  int count = 0;

 private:
  quoril::PacketScratch scratch_;
};

std::vector<std::uint8_t> Packet(std::uint16_t opcode, std::uint16_t block,
                                 std::string_view data = {}) {
  std::vector<std::uint8_t> packet{
      static_cast<std::uint8_t>(opcode >> 8), static_cast<std::uint8_t>(opcode),
      static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
  packet.insert(packet.end(), data.begin(), data.end());
  return packet;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size - 1 > quoril::kMaxPacket) return 0;
  const Tree& tree = TheTree();
  TheServer().config.OverwriteExisting = data[0] % 6;
  const std::span<const std::uint8_t> datagram(data + 1, size - 1);
  if (datagram.size() > 2) {
    const auto name = reinterpret_cast<const char*>(datagram.data() + 2);
    const std::string text(name, strnlen(name, datagram.size() - 2));
    if (!text.empty()) CheckFullPath(text.c_str());
  }

  // As the listener hands a request over, and as an engine drives the session.
  auto* record = static_cast<quoril::RequestRecord*>(TheServer().requestHeap.Allocate());
  FUZZ_CHECK(record != nullptr);
  record->datagram.fill(0);
  std::copy(datagram.begin(), datagram.end(), record->datagram.begin());
  record->clientAddress = platform::SocketAddress{};
  record->localIndex = 0;
  record->arrived = {};
  quoril::TransferSession session;
  quoril::BeginSession(session, TheServer(), record);
  Recorder sink;
  const auto now = quoril::SessionClock::time_point{};
  quoril::StartTransfer(session, sink, now);
  if (session.opcode == quoril::kOpcodeRrq) {
    // The whole file, block by block: only a file inside is ever sent.
    std::string content;
    for (std::uint16_t block = 1; sink.count > 0 && !quoril::SessionEnded(session); ++block) {
      if (sink.sent[1] != quoril::kOpcodeData) break;
      content.append(sink.sent.begin() + 4, sink.sent.end());
      FUZZ_CHECK(content.size() <= kInside.size());
      quoril::OnDatagram(session, Packet(quoril::kOpcodeAck, block), {}, sink, now);
    }
    FUZZ_CHECK(content.empty() || content == kInside);
  } else if (session.opcode == quoril::kOpcodeWrq && sink.count == 1 &&
             sink.sent == Packet(quoril::kOpcodeAck, 0)) {
    quoril::OnDatagram(session, Packet(quoril::kOpcodeData, 1, kInside), {}, sink, now);
  }
  quoril::FinishSession(session);
  if (session.opcode == quoril::kOpcodeWrq) tree.CheckAndTidy();
  return 0;
}
