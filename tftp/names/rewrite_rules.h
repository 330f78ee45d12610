// The rules that rewrite a request's name before it becomes a path, for boot loaders that ask
// for names the served tree does not have as written. A rule is one text, as in tftpd-hpa's
// map files: flags, a pattern (POSIX extended regular expression syntax, matched by PCRE2)
// and a replacement:
//
//   rg  \\         /                   every backslash a slash
//   re  ^/tftpboot/                    a leading /tftpboot/ dropped, and no rule after it
//   ri  ^pxelinux\.cfg/01-.*  pxelinux.cfg/default
//
// Flags: r (rewrite, may be left out), g (every match, not only the first), i (ignoring ASCII
// case), e (no rule after this one when it matched), G (reads only), P (writes only). The
// replacement copies text, with \0 the whole match, \1 to \9 the groups, \\ a backslash, %a
// the client's address, %m its hardware address (01-aa-bb-cc-dd-ee-ff) and %% a percent sign.
// A rule whose replacement needs %m does not apply where the hardware address is not known.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quoril {

// Who asks, as the replacements may need it.
struct RewriteParty {
  bool isWrite = false;
  std::string_view clientAddress;    // the address as the log shows it
  std::string_view hardwareAddress;  // 01-aa-bb-cc-dd-ee-ff; empty when not known
};

enum class RewriteOutcome : std::uint8_t {
  kUnchanged,  // no rule matched
  kRewritten,  // `out` holds the new name
  kRefused,    // the matching ran out of its budget, or the name grew too long
};

struct CompiledRule;

// The compiled rules of one start. Built by the listener during start-up, before any transfer
// exists; read without a lock afterwards (matching writes nothing shared).
class RewriteRules {
 public:
  RewriteRules();
  ~RewriteRules();
  RewriteRules(const RewriteRules&) = delete;
  RewriteRules& operator=(const RewriteRules&) = delete;

  // Compiles `rules` in order, replacing what was there. A rule that does not compile leaves
  // no rules and answers false, with `reason` naming the rule and what is wrong with it.
  bool Compile(const std::vector<std::string>& rules, std::string& reason);
  bool Empty() const { return rules_.empty(); }
  // Whether a replacement inserts the hardware address, which costs a look-up.
  bool NeedsHardwareAddress() const { return needsHardware_; }
  // Applies the rules in order to `name`. The result never exceeds `longest` bytes; a longer
  // one is refused. Each match is bounded, so hostile patterns and names stay cheap.
  RewriteOutcome Apply(std::string_view name, const RewriteParty& party, std::size_t longest,
                       std::string& out) const;

 private:
  std::vector<CompiledRule> rules_;
  bool needsHardware_ = false;
};

}  // namespace quoril
