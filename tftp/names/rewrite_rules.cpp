#include "tftp/names/rewrite_rules.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <memory>

namespace quoril {

namespace {

// One match may take this many steps of the matcher and this much backtracking memory: far
// more than a sound rule needs for a name of 260 bytes, far less than a millisecond.
constexpr std::uint32_t kMatchLimit = 5000;
constexpr std::uint32_t kDepthLimit = 2000;
constexpr std::uint32_t kHeapLimitKiB = 256;
constexpr std::uint32_t kMaxGroups = 9;

// What PCRE2 allocated, freed by `Free`.
template <auto Free>
struct FreedBy {
  void operator()(auto* object) const { Free(object); }
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

// The next field of a rule's text: up to the first blank that no backslash escapes.
std::string_view NextField(std::string_view& text) {
  std::size_t start = 0;
  while (start < text.size() && IsSpace(text[start])) ++start;
  std::size_t end = start;
  while (end < text.size() && !IsSpace(text[end])) end += text[end] == '\\' ? 2 : 1;
  end = std::min(end, text.size());
  const std::string_view field = text.substr(start, end - start);
  text.remove_prefix(end);
  return field;
}

}  // namespace

struct CompiledRule {
  std::unique_ptr<pcre2_code, FreedBy<pcre2_code_free>> code;
  std::unique_ptr<pcre2_match_context, FreedBy<pcre2_match_context_free>> limits;
  std::string replacement;
  bool global = false;
  bool stop = false;
  bool readsOnly = false;
  bool writesOnly = false;
  bool usesHardware = false;
};

RewriteRules::RewriteRules() = default;
RewriteRules::~RewriteRules() = default;

namespace {

// Sets the rule's flags from their letters; answers the reason of a failure, empty if none.
std::string ReadFlags(std::string_view flags, CompiledRule& rule, std::uint32_t& options) {
  for (const char flag : flags) {
    switch (flag) {
      case 'r':
        break;
      case 'g':
        rule.global = true;
        break;
      case 'i':
        options |= PCRE2_CASELESS;
        break;
      case 'e':
        rule.stop = true;
        break;
      case 'G':
        rule.readsOnly = true;
        break;
      case 'P':
        rule.writesOnly = true;
        break;
      default:
        return std::string("unknown flag '") + flag + "' (r, g, i, e, G and P are known)";
    }
  }
  if (rule.readsOnly && rule.writesOnly) return "G and P together match no request";
  return {};
}

// Checks the replacement's escapes against the pattern's groups.
std::string CheckReplacement(const CompiledRule& rule, std::uint32_t groups) {
  const std::string& text = rule.replacement;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' && text[i] != '%') continue;
    if (i + 1 == text.size()) return std::string("the replacement ends in '") + text[i] + "'";
    const char next = text[++i];
    if (text[i - 1] == '%') {
      if (next != 'a' && next != 'm' && next != '%') {
        return std::string("unknown %") + next + " in the replacement (%a, %m and %% are known)";
      }
    } else if (next >= '0' && next <= '9') {
      if (static_cast<std::uint32_t>(next - '0') > groups) {
        return std::string("\\") + next + " names no group of the pattern";
      }
    } else if (next != '\\' && !IsSpace(next)) {
      return std::string("unknown \\") + next + " in the replacement (\\0 to \\9 and \\\\)";
    }
  }
  return {};
}

std::string CompileRule(std::string_view text, CompiledRule& rule) {
  std::string_view rest = text;
  const std::string_view flags = NextField(rest);
  const std::string_view pattern = NextField(rest);
  while (!rest.empty() && IsSpace(rest.front())) rest.remove_prefix(1);
  while (!rest.empty() && IsSpace(rest.back())) rest.remove_suffix(1);
  if (pattern.empty()) return "a rule needs flags and a pattern";
  rule.replacement = std::string(rest);
  std::uint32_t options = PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_NEVER_BACKSLASH_C;
  if (std::string reason = ReadFlags(flags, rule, options); !reason.empty()) return reason;

  int error = 0;
  PCRE2_SIZE offset = 0;
  rule.code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                options, &error, &offset, nullptr));
  if (!rule.code) {
    std::array<PCRE2_UCHAR, 160> message{};
    pcre2_get_error_message(error, message.data(), message.size());
    return "at character " + std::to_string(offset + 1) +
           " of the pattern: " + reinterpret_cast<const char*>(message.data());
  }
  std::uint32_t groups = 0;
  pcre2_pattern_info(rule.code.get(), PCRE2_INFO_CAPTURECOUNT, &groups);
  if (std::string reason = CheckReplacement(rule, std::min(groups, kMaxGroups)); !reason.empty()) {
    return reason;
  }
  rule.usesHardware = rule.replacement.find("%m") != std::string::npos;
  rule.limits.reset(pcre2_match_context_create(nullptr));
  if (!rule.limits) return "out of memory";
  pcre2_set_match_limit(rule.limits.get(), kMatchLimit);
  pcre2_set_depth_limit(rule.limits.get(), kDepthLimit);
  pcre2_set_heap_limit(rule.limits.get(), kHeapLimitKiB);
  return {};
}

// Appends the replacement for one match; false when `out` would pass `longest`.
bool Expand(const CompiledRule& rule, std::string_view subject, const PCRE2_SIZE* ovector,
            int pairs, const RewriteParty& party, std::size_t longest, std::string& out) {
  const std::string& text = rule.replacement;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    std::string_view piece(&text[i], 1);
    if ((c == '\\' || c == '%') && i + 1 < text.size()) {
      const char next = text[++i];
      piece = std::string_view(&text[i], 1);
      if (c == '%' && next == 'a') {
        piece = party.clientAddress;
      } else if (c == '%' && next == 'm') {
        piece = party.hardwareAddress;
      } else if (c == '\\' && next >= '0' && next <= '9') {
        const int group = next - '0';
        const PCRE2_SIZE start = group < pairs ? ovector[2 * group] : PCRE2_UNSET;
        piece = start == PCRE2_UNSET ? std::string_view()
                                     : subject.substr(start, ovector[2 * group + 1] - start);
      }
    }
    if (out.size() + piece.size() > longest) return false;
    out.append(piece);
  }
  return true;
}

// One rule over `name`: kUnchanged when it does not match.
RewriteOutcome ApplyRule(const CompiledRule& rule, std::string_view name, pcre2_match_data* data,
                         const RewriteParty& party, std::size_t longest, std::string& out) {
  out.clear();
  PCRE2_SIZE at = 0;      // where the next match is looked for
  PCRE2_SIZE copied = 0;  // what of `name` is in `out` already
  bool matched = false;
  while (at <= name.size()) {
    const int result = pcre2_match(rule.code.get(), reinterpret_cast<PCRE2_SPTR>(name.data()),
                                   name.size(), at, 0, data, rule.limits.get());
    if (result == PCRE2_ERROR_NOMATCH) break;
    if (result < 0) return RewriteOutcome::kRefused;  // a limit: the name is not judged
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    if (out.size() + (ovector[0] - copied) > longest) return RewriteOutcome::kRefused;
    out.append(name.substr(copied, ovector[0] - copied));
    if (!Expand(rule, name, ovector, result, party, longest, out)) return RewriteOutcome::kRefused;
    copied = ovector[1];
    matched = true;
    if (!rule.global) break;
    // After an empty match the next one starts a character later, so that it cannot repeat.
    at = ovector[1] > ovector[0] ? ovector[1] : ovector[1] + 1;
    if (ovector[1] == ovector[0] && ovector[1] < name.size()) {
      out.push_back(name[copied]);
      copied = ovector[1] + 1;
      if (out.size() > longest) return RewriteOutcome::kRefused;
    }
  }
  if (!matched) return RewriteOutcome::kUnchanged;
  if (out.size() + (name.size() - copied) > longest) return RewriteOutcome::kRefused;
  out.append(name.substr(copied));
  return RewriteOutcome::kRewritten;
}

}  // namespace

bool RewriteRules::Compile(const std::vector<std::string>& rules, std::string& reason) {
  rules_.clear();
  needsHardware_ = false;
  for (const std::string& text : rules) {
    CompiledRule rule;
    if (std::string why = CompileRule(text, rule); !why.empty()) {
      reason = "RewriteRules: the rule \"" + text + "\": " + why;
      rules_.clear();
      return false;
    }
    needsHardware_ = needsHardware_ || rule.usesHardware;
    rules_.push_back(std::move(rule));
  }
  return true;
}

RewriteOutcome RewriteRules::Apply(std::string_view name, const RewriteParty& party,
                                   std::size_t longest, std::string& out) const {
  if (rules_.empty()) return RewriteOutcome::kUnchanged;
  const std::unique_ptr<pcre2_match_data, FreedBy<pcre2_match_data_free>> data(
      pcre2_match_data_create(kMaxGroups + 1, nullptr));
  if (!data) return RewriteOutcome::kRefused;
  std::string current(name);
  std::string next;
  bool rewritten = false;
  for (const CompiledRule& rule : rules_) {
    if ((rule.readsOnly && party.isWrite) || (rule.writesOnly && !party.isWrite)) continue;
    if (rule.usesHardware && party.hardwareAddress.empty()) continue;
    switch (ApplyRule(rule, current, data.get(), party, longest, next)) {
      case RewriteOutcome::kUnchanged:
        continue;
      case RewriteOutcome::kRefused:
        return RewriteOutcome::kRefused;
      case RewriteOutcome::kRewritten:
        break;
    }
    current.swap(next);
    rewritten = true;
    if (rule.stop) break;
  }
  if (!rewritten) return RewriteOutcome::kUnchanged;
  out = std::move(current);
  return RewriteOutcome::kRewritten;
}

}  // namespace quoril
