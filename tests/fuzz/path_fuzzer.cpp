// Path forming and confinement, with any name a request could carry: the full path is formed
// as the session forms it (GetFullPathName, then lower-cased) and opened confined to the
// served directory. Whatever the name, a read finds only a file inside, and a write leaves
// everything outside as it was: the served directory holds links out of it (to a file, to a
// directory, to the root), a sibling whose name begins with the served directory's, and a
// link loop.
//
// Input: byte 0 picks the operation (read, or a write with CREATE_ALWAYS, CREATE_NEW or
// OPEN_ALWAYS); the rest is the name, up to its first zero byte.
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

#include "platform/files.h"
#include "platform/strings.h"
#include "tests/fuzz/fuzz_check.h"

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

struct Tree {
  fs::path base;
  fs::path served;
  std::string confineTo;  // the served directory as DefaultDirectory holds it: lower-cased
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
    confineTo = served.string();
    platform::LowerCaseAscii(std::span(confineTo.data(), confineTo.size()));
    FUZZ_CHECK(platform::SetCurrentDirectory(confineTo.c_str()) == ERROR_SUCCESS);
  }

  ~Tree() {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }

  // Nothing outside the served directory changed; what a write added inside goes again.
  void CheckAndTidy() const {
    FUZZ_CHECK(Entries(base) == (std::set<std::string>{"outside", "served", "served2"}));
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const Tree& tree = TheTree();
  const std::string name(reinterpret_cast<const char*>(data + 1),
                         strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
  if (name.empty()) return 0;
  CheckFullPath(name.c_str());

  // As the session: the full path, lower-cased, opened confined.
  std::array<char, platform::kMaxPath> full{};
  std::uint32_t length = 0;
  if (platform::GetFullPathName(name.c_str(), full, length) != ERROR_SUCCESS ||
      length >= full.size()) {
    return 0;
  }
  platform::LowerCaseAscii(std::span(full.data(), length));

  platform::File file;
  static constexpr std::uint32_t kWrites[] = {platform::kCreateAlways, platform::kCreateNew,
                                              platform::kOpenAlways};
  const int operation = data[0] % 4;
  if (operation == 0) {
    if (file.Open(full.data(), platform::kGenericRead, platform::kShareRead,
                  platform::kOpenExisting, tree.confineTo.c_str()) == ERROR_SUCCESS) {
      std::array<std::uint8_t, 64> bytes{};
      std::size_t read = 0;
      FUZZ_CHECK(file.Read(bytes, read) == ERROR_SUCCESS);
      FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(bytes.data()), read) == kInside);
    }
    return 0;
  }
  if (file.OpenReplacement(full.data(), kWrites[operation - 1], tree.confineTo.c_str()) ==
      ERROR_SUCCESS) {
    const auto bytes = reinterpret_cast<const std::uint8_t*>(kInside.data());
    FUZZ_CHECK(file.Write(std::span(bytes, kInside.size())) == ERROR_SUCCESS);
    file.Commit();
  }
  file.Close();
  tree.CheckAndTidy();
  return 0;
}
