#include "tftp/names/rewrite_rules.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

namespace quoril {
namespace {

constexpr std::size_t kLongest = 260;

struct ApplyCase {
  const char* id;
  std::vector<std::string> rules;
  std::string name;
  bool isWrite;
  RewriteOutcome outcome;
  std::string result;  // when rewritten
};

// ctest lists a case by its id, not by its bytes.
void PrintTo(const ApplyCase& c, std::ostream* out) {
  *out << c.id;
}

const ApplyCase kApplyCases[] = {
    {"first match only", {"r a b"}, "aaa", false, RewriteOutcome::kRewritten, "baa"},
    {"every match", {"rg a b"}, "aaa", false, RewriteOutcome::kRewritten, "bbb"},
    {"empty matches", {"rg x* -"}, "ab", false, RewriteOutcome::kRewritten, "-a-b-"},
    {"groups and whole",
     {R"(r ^(\w+)\.(\w+)$ \2/\1-\0)"},
     "a.b",
     false,
     RewriteOutcome::kRewritten,
     "b/a-a.b"},
    {"ignoring case", {"ri ^ABC x"}, "abcd", false, RewriteOutcome::kRewritten, "xd"},
    {"case counts", {"r ^ABC x"}, "abcd", false, RewriteOutcome::kUnchanged, ""},
    {"in order", {"r a b", "r b c"}, "a", false, RewriteOutcome::kRewritten, "c"},
    {"stop after", {"re a b", "r b c"}, "a", false, RewriteOutcome::kRewritten, "b"},
    {"stop only when matched", {"re x y", "r a b"}, "a", false, RewriteOutcome::kRewritten, "b"},
    {"reads only", {"rG a b"}, "a", true, RewriteOutcome::kUnchanged, ""},
    {"writes only", {"rP a b"}, "a", true, RewriteOutcome::kRewritten, "b"},
    {"client address", {"r ^ %a/"}, "f", false, RewriteOutcome::kRewritten, "10.0.0.7/f"},
    {"hardware address",
     {"r ^ %m/%%"},
     "f",
     false,
     RewriteOutcome::kRewritten,
     "01-52-54-00-12-34-56/%f"},
    {"escaped blank", {R"(r a\ b c\\d)"}, "a b", false, RewriteOutcome::kRewritten, R"(c\d)"},
    {"strip", {"r ^/tftpboot/"}, "/tftpboot/x", false, RewriteOutcome::kRewritten, "x"},
    {"too long", {"rg . xx"}, std::string(200, 'a'), false, RewriteOutcome::kRefused, ""},
    {"catastrophic",
     {"r ^(a+)+$ x"},
     std::string(40, 'a') + "!",
     false,
     RewriteOutcome::kRefused,
     ""},
};

class ApplyTest : public testing::TestWithParam<ApplyCase> {};

TEST_P(ApplyTest, RewritesAsTheRulesSay) {
  const ApplyCase& c = GetParam();
  RewriteRules rules;
  std::string reason;
  ASSERT_TRUE(rules.Compile(c.rules, reason)) << reason;
  const RewriteParty party{c.isWrite, "10.0.0.7", "01-52-54-00-12-34-56"};
  std::string out;
  EXPECT_EQ(rules.Apply(c.name, party, kLongest, out), c.outcome);
  if (c.outcome == RewriteOutcome::kRewritten) {
    EXPECT_EQ(out, c.result);
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, ApplyTest, testing::ValuesIn(kApplyCases), [](const auto& info) {
  std::string id = info.param.id;
  for (char& c : id) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return id;
});

TEST(RewriteRulesTest, WithoutAHardwareAddressARuleThatNeedsOneIsLeftOut) {
  RewriteRules rules;
  std::string reason;
  ASSERT_TRUE(rules.Compile({"r ^ %m/"}, reason));
  EXPECT_TRUE(rules.NeedsHardwareAddress());
  std::string out;
  EXPECT_EQ(rules.Apply("f", RewriteParty{false, "10.0.0.7", ""}, kLongest, out),
            RewriteOutcome::kUnchanged);
}

TEST(RewriteRulesTest, ARuleThatDoesNotCompileNamesItselfAndLeavesNoRules) {
  const std::pair<const char*, const char*> cases[] = {
      {"r (", "the rule \"r (\": at character 2 of the pattern: missing closing parenthesis"},
      {"rq a b", "unknown flag 'q'"},
      {"r", "a rule needs flags and a pattern"},
      {"rGP a b", "G and P together"},
      {R"(r (a) \2)", "\\2 names no group"},
      {"r a %x", "unknown %x"},
      {R"(r a \q)", "unknown \\q"},
      {"r a b%", "ends in '%'"},
  };
  for (const auto& [rule, reason] : cases) {
    RewriteRules rules;
    std::string why;
    EXPECT_FALSE(rules.Compile({"r fine ok", rule}, why)) << rule;
    EXPECT_NE(why.find(reason), std::string::npos) << why;
    EXPECT_TRUE(rules.Empty());
  }
}

}  // namespace
}  // namespace quoril
