// The rewrite rules over any name, and any rule over any name: compiling never fails but with a
// reason, and a rewritten name is never longer than allowed and always the same for the same
// request. With the recipes of a boot server (backslashes to slashes first), no rewritten name
// keeps a backslash.
//
// Input: up to the first newline a rule (an empty line takes the recipes), then the name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tftp/names/rewrite_rules.h"

namespace {

using quoril::RewriteOutcome;

constexpr std::size_t kLongest = 260;

const std::vector<std::string> kRecipes = {
    R"(rg \\ /)",
    R"(re ^/tftpboot/)",
    R"(ri ^pxelinux\.cfg/01-.* pxelinux.cfg/default)",
    R"(r ^(a|aa)+$ \0\1%a%m)",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const std::string rule(input.substr(0, newline));
  const std::string_view name = input.substr(newline + 1, kLongest);

  quoril::RewriteRules rules;
  std::string reason;
  const bool recipes = rule.empty();
  if (!rules.Compile(recipes ? kRecipes : std::vector<std::string>{rule}, reason)) {
    FUZZ_CHECK(!reason.empty() && rules.Empty());
    return 0;
  }
  const quoril::RewriteParty party{name.size() % 2 == 0, "192.0.2.1", "01-52-54-00-12-34-56"};
  std::string first;
  std::string second;
  const RewriteOutcome outcome = rules.Apply(name, party, kLongest, first);
  FUZZ_CHECK(rules.Apply(name, party, kLongest, second) == outcome);
  if (outcome != RewriteOutcome::kRewritten) return 0;
  FUZZ_CHECK(first == second && first.size() <= kLongest);
  if (recipes) FUZZ_CHECK(first.find('\\') == std::string::npos);
  return 0;
}
