// How long the rewrite rules take per request, for sound rules and for hostile ones against
// hostile names: each match is bounded by its budget, so that no request spends more than a
// millisecond on the rules, whatever they and the name are. Prints one line per case: the
// mean, the 99th percentile and the worst time of one request's rules over many requests (the
// worst includes whatever else the machine did meanwhile).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tftp/names/rewrite_rules.h"

namespace {

struct Case {
  const char* id;
  std::vector<std::string> rules;
  std::string name;
};

}  // namespace

int main() {
  const std::string as(250, 'a');
  const std::vector<Case> cases = {
      {"recipes, boot loader name",
       {R"(rg \\ /)", "re ^/tftpboot/", R"(ri ^pxelinux\.cfg/01-.* pxelinux.cfg/default)"},
       R"(\tftpboot\pxelinux.cfg\01-52-54-00-12-34-56)"},
      {"sound rule, long deep name",
       {R"(r ^(.*)/([^/]*)$ \2/\1)"},
       [] {
         std::string deep;
         while (deep.size() < 250) deep += "dir/";
         return deep + "file";
       }()},
      {"nested quantifier (a+)+$", {"r ^(a+)+$ x"}, as + "!"},
      {"alternation (a|aa)+$", {"r ^(a|aa)+$ x"}, as + "!"},
      {"nested stars, every match", {"rg (a*)*b x"}, as},
      {"ten hostile rules", std::vector<std::string>(10, "r ^(a|a?)+$ x"), as + "!"},
      {"backreference (a*)*\\1b", {R"(r ^(a*)*\1b$ x)"}, as},
  };
  constexpr int kRequests = 2000;
  std::printf("%-32s %10s %10s %10s  %s\n", "case", "mean (us)", "p99 (us)", "worst (us)",
              "outcome");
  for (const Case& c : cases) {
    quoril::RewriteRules rules;
    std::string reason;
    if (!rules.Compile(c.rules, reason)) {
      std::printf("%-32s does not compile: %s\n", c.id, reason.c_str());
      return 1;
    }
    const quoril::RewriteParty party{false, "192.0.2.1", ""};
    std::string out;
    std::vector<double> times;
    quoril::RewriteOutcome outcome = quoril::RewriteOutcome::kUnchanged;
    for (int i = 0; i < kRequests; ++i) {
      const auto start = std::chrono::steady_clock::now();
      outcome = rules.Apply(c.name, party, 260, out);
      const std::chrono::duration<double, std::micro> took =
          std::chrono::steady_clock::now() - start;
      times.push_back(took.count());
    }
    const char* shown = outcome == quoril::RewriteOutcome::kRewritten ? "rewritten"
                        : outcome == quoril::RewriteOutcome::kRefused ? "refused (budget)"
                                                                      : "unchanged";
    std::sort(times.begin(), times.end());
    double total = 0;
    for (const double t : times) total += t;
    std::printf("%-32s %10.1f %10.1f %10.1f  %s\n", c.id, total / kRequests,
                times[times.size() * 99 / 100], times.back(), shown);
  }
  return 0;
}
