#include "platform/posix/registry_file.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

#include "platform/registry.h"
#include "platform/strings.h"

namespace quoril::platform {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// regedit wraps hex data so that no line grows past this many columns.
constexpr std::size_t kWrapColumn = 77;

bool StartsFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kHexDigits = "0123456789abcdefABCDEF";

std::string_view TrimLeft(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(kBlanks), text.size()));
  return text;
}

std::string_view TrimRight(std::string_view text) {
  return text.substr(0, text.find_last_not_of(kBlanks) + 1);
}

std::string_view Trim(std::string_view text) {
  return TrimRight(TrimLeft(text));
}

// Up to eight hex digits as a number; anything else is not a number.
std::optional<std::uint32_t> ParseHexNumber(std::string_view text) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  // from_chars takes digits alone: no sign, no "0x", no blank.
  if (text.empty() || text.size() > 8 || std::from_chars(text.data(), end, value, 16).ptr != end) {
    return std::nullopt;
  }
  return value;
}

// The source split into lines (LF or CR LF), and the index of the line being read.
struct Lines {
  std::vector<std::string_view> text;
  std::size_t current = 0;
};

Lines SplitLines(std::string_view text) {
  Lines lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.text.push_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

struct ParseError {
  std::string reason;
};

// A quoted string at the start of `text`, with \\ and \" as its only escapes; `text` is
// left after the closing quote.
std::optional<ParseError> ReadQuoted(std::string_view& text, std::string& result) {
  result.clear();
  if (text.empty() || text.front() != '"') return ParseError{"expected a quoted string"};
  std::size_t i = 1;
  for (; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] != '\\') {
      result += text[i];
      continue;
    }
    if (i + 1 >= text.size()) return ParseError{"quoted string without its closing quote"};
    char escaped = text[++i];
    if (escaped != '\\' && escaped != '"') {
      return ParseError{std::string("unknown escape \\") + escaped +
                        " in a quoted string (write \\\\ for a backslash)"};
    }
    result += escaped;
  }
  if (i >= text.size()) return ParseError{"quoted string without its closing quote"};
  text.remove_prefix(i + 1);
  return std::nullopt;
}

bool RestIsBlank(std::string_view rest) {
  rest = TrimLeft(rest);
  return rest.empty() || rest.front() == ';';
}

// Comma-separated bytes of one or two hex digits; a trailing comma is tolerated.
std::optional<ParseError> ReadHexBytes(std::string_view text, std::vector<std::uint8_t>& data) {
  data.clear();
  text = Trim(text);
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view item = Trim(text.substr(0, comma));
    if (item.empty() || item.size() > 2) {
      return ParseError{"hex data must be bytes of two hex digits separated by commas"};
    }
    std::optional<std::uint32_t> byte = ParseHexNumber(item);
    if (!byte) return ParseError{"'" + std::string(item) + "' is not a hex byte"};
    data.push_back(static_cast<std::uint8_t>(*byte));
    if (comma == std::string_view::npos) break;
    text = TrimLeft(text.substr(comma + 1));
  }
  return std::nullopt;
}

// The data of a hex value, joined across regedit's continuation lines (a trailing
// backslash carries on with the next line). A ';' starts a comment.
std::optional<ParseError> CollectHexText(std::string_view first, Lines& lines,
                                         std::string& joined) {
  joined.clear();
  std::string_view segment = first;
  for (;;) {
    segment = TrimRight(segment.substr(0, segment.find(';')));
    if (segment.empty() || segment.back() != '\\') {
      joined += segment;
      return std::nullopt;
    }
    segment.remove_suffix(1);
    joined += segment;
    if (++lines.current >= lines.text.size()) {
      return ParseError{"hex data continues past the end of the file"};
    }
    segment = TrimLeft(lines.text[lines.current]);
  }
}

std::optional<ParseError> ReadValueData(std::string_view text, Lines& lines,
                                        RegistryValueRecord& value) {
  if (!text.empty() && text.front() == '"') {
    std::string content;
    if (auto error = ReadQuoted(text, content)) return error;
    if (!RestIsBlank(text)) return ParseError{"unexpected text after the quoted string"};
    value.type = kRegSz;
    value.data.assign(content.begin(), content.end());
    value.data.push_back(0);
    return std::nullopt;
  }
  if (StartsFolded(text, "dword:")) {
    std::string_view digits = text.substr(6);
    const std::size_t end = std::min(digits.find_first_not_of(kHexDigits), digits.size());
    std::optional<std::uint32_t> number = ParseHexNumber(digits.substr(0, end));
    if (!number || !RestIsBlank(digits.substr(end))) {
      return ParseError{"dword: needs one to eight hex digits"};
    }
    value.type = kRegDword;
    value.data = {static_cast<std::uint8_t>(*number), static_cast<std::uint8_t>(*number >> 8),
                  static_cast<std::uint8_t>(*number >> 16),
                  static_cast<std::uint8_t>(*number >> 24)};
    return std::nullopt;
  }
  std::string_view rest;
  if (StartsFolded(text, "hex:")) {
    value.type = kRegBinary;
    rest = text.substr(4);
  } else if (StartsFolded(text, "hex(")) {
    std::size_t close = text.find(')');
    std::optional<std::uint32_t> type;
    if (close != std::string_view::npos) type = ParseHexNumber(text.substr(4, close - 4));
    if (!type || close + 1 >= text.size() || text[close + 1] != ':') {
      return ParseError{"hex(N): needs a type of one to eight hex digits"};
    }
    value.type = *type;
    rest = text.substr(close + 2);
  } else if (Trim(text) == "-") {
    return ParseError{"=- deletes a value on import; this file holds only values"};
  } else {
    return ParseError{"value data must be \"text\", dword:, hex: or hex(N):"};
  }
  std::string joined;
  if (auto error = CollectHexText(rest, lines, joined)) return error;
  return ReadHexBytes(joined, value.data);
}

std::optional<ParseError> ReadValueLine(std::string_view line, Lines& lines,
                                        RegistryKeyRecord& key) {
  RegistryValueRecord value;
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else if (auto error = ReadQuoted(line, value.name)) {
    return error;
  }
  line = TrimLeft(line);
  if (line.empty() || line.front() != '=') return ParseError{"expected = after the value name"};
  line = TrimLeft(line.substr(1));
  if (auto error = ReadValueData(line, lines, value)) return error;
  SetRegistryValue(key, value.name, value.type, value.data);
  return std::nullopt;
}

std::optional<ParseError> ReadSection(std::string_view line, RegistryDocument& document,
                                      RegistryKeyRecord*& key) {
  if (line.back() != ']') return ParseError{"a [key] line must end with ]"};
  std::string_view full = line.substr(1, line.size() - 2);
  if (!full.empty() && full.front() == '-') {
    return ParseError{"[-key] deletes a key on import; this file holds only keys"};
  }
  if (!StartsFolded(full, kRootName) ||
      (full.size() > kRootName.size() && full[kRootName.size()] != '\\')) {
    return ParseError{"only keys of HKEY_LOCAL_MACHINE are kept here"};
  }
  std::string_view below = full.substr(kRootName.size());
  if (!below.empty()) below.remove_prefix(1);
  std::string path;
  if (below.empty() && full.size() > kRootName.size()) {
    return ParseError{"empty key name in the path"};
  }
  if (NormalizeKeyPath(below, path) != ERROR_SUCCESS) {
    return ParseError{"bad key path (empty name or line break in a name)"};
  }
  bool created = false;
  key = &CreateRegistryKey(document, path, created);
  return std::nullopt;
}

void AppendHexByte(std::string& out, std::uint8_t byte) {
  constexpr char kDigits[] = "0123456789abcdef";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xF];
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A REG_SZ reads back from "text" exactly when it is its characters and one terminator,
// with no NUL or line break among them.
bool FitsQuotedString(const RegistryValueRecord& value) {
  if (value.type != kRegSz || value.data.empty() || value.data.back() != 0) return false;
  return std::none_of(value.data.begin(), value.data.end() - 1,
                      [](std::uint8_t b) { return b == 0 || b == '\n' || b == '\r'; });
}

void AppendValue(std::string& out, const RegistryValueRecord& value) {
  std::size_t lineStart = out.size();
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  if (FitsQuotedString(value)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                       value.data.size() - 1));
    out += '\n';
    return;
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    // Stored least significant byte first, written as a number.
    out += "dword:";
    for (int k = 3; k >= 0; --k) AppendHexByte(out, value.data[k]);
    out += '\n';
    return;
  }
  if (value.type == kRegBinary) {
    out += "hex:";
  } else {
    char type[16];
    std::snprintf(type, sizeof type, "hex(%x):", value.type);
    out += type;
  }
  std::size_t column = out.size() - lineStart;
  for (std::size_t i = 0; i < value.data.size(); ++i) {
    if (i > 0) {
      out += ',';
      ++column;
      if (column + 3 > kWrapColumn) {
        out += "\\\n  ";
        column = 2;
      }
    }
    AppendHexByte(out, value.data[i]);
    column += 2;
  }
  out += '\n';
}

}  // namespace

bool RegistryPathOrder::operator()(const std::string& a, const std::string& b) const {
  // '\' sorts below every other byte, so that "a\b" follows "a" before "a b" does.
  auto rank = [](char c) {
    return c == '\\' ? 0 : static_cast<int>(static_cast<unsigned char>(c)) + 1;
  };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return rank(x) < rank(y); });
}

std::string FoldRegistryName(std::string_view name) {
  std::string folded(name);
  LowerCaseAscii(folded);
  return folded;
}

bool ValueNameIsStorable(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos;
}

Win32Error NormalizeKeyPath(std::string_view subKey, std::string& path) {
  path.clear();
  if (!subKey.empty() && subKey.back() == '\\') subKey.remove_suffix(1);
  if (subKey.empty()) return ERROR_SUCCESS;
  if (subKey.find_first_of("\r\n") != std::string_view::npos) return ERROR_INVALID_PARAMETER;
  if (subKey.front() == '\\' || subKey.back() == '\\' ||
      subKey.find("\\\\") != std::string_view::npos) {
    return ERROR_BAD_PATHNAME;
  }
  path.assign(subKey);
  return ERROR_SUCCESS;
}

RegistryKeyRecord* FindRegistryKey(RegistryDocument& document, std::string_view path) {
  auto found = document.keys.find(FoldRegistryName(path));
  return found == document.keys.end() ? nullptr : &found->second;
}

const RegistryKeyRecord* FindRegistryKey(const RegistryDocument& document, std::string_view path) {
  auto found = document.keys.find(FoldRegistryName(path));
  return found == document.keys.end() ? nullptr : &found->second;
}

RegistryKeyRecord& CreateRegistryKey(RegistryDocument& document, std::string_view path,
                                     bool& created) {
  created = false;
  RegistryKeyRecord* parent = &document.keys[""];
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string folded = FoldRegistryName(path.substr(0, end));
    auto [entry, inserted] = document.keys.try_emplace(folded);
    if (inserted) {
      // Named under the stored case of the keys above it.
      entry->second.path = parent->path.empty() ? std::string() : parent->path + '\\';
      entry->second.path += path.substr(start, end - start);
      created = true;
    }
    parent = &entry->second;
    start = end + 1;
  }
  return *parent;
}

std::vector<const RegistryKeyRecord*> DirectSubkeys(const RegistryDocument& document,
                                                    std::string_view path) {
  std::vector<const RegistryKeyRecord*> subkeys;
  const std::string prefix = path.empty() ? std::string() : FoldRegistryName(path) + '\\';
  // A key's subtree follows it as one run, so the walk ends at the first key outside it.
  for (auto it = document.keys.upper_bound(FoldRegistryName(path)); it != document.keys.end();
       ++it) {
    if (!it->first.starts_with(prefix)) break;
    if (it->first.find('\\', prefix.size()) == std::string::npos) {
      subkeys.push_back(&it->second);
    }
  }
  return subkeys;
}

const RegistryValueRecord* FindRegistryValue(const RegistryKeyRecord& key, std::string_view name) {
  auto found = key.byName.find(FoldRegistryName(name));
  return found == key.byName.end() ? nullptr : &key.values[found->second];
}

bool SetRegistryValue(RegistryKeyRecord& key, std::string_view name, std::uint32_t type,
                      std::span<const std::uint8_t> data) {
  auto [entry, inserted] = key.byName.try_emplace(FoldRegistryName(name), key.values.size());
  if (inserted) {
    key.values.push_back({std::string(name), type, {data.begin(), data.end()}});
    return true;
  }
  RegistryValueRecord& value = key.values[entry->second];
  if (value.type == type && std::ranges::equal(value.data, data)) return false;
  value.type = type;
  value.data.assign(data.begin(), data.end());
  return true;
}

bool DeleteRegistryValue(RegistryKeyRecord& key, std::string_view name) {
  auto found = key.byName.find(FoldRegistryName(name));
  if (found == key.byName.end()) return false;
  key.values.erase(key.values.begin() + static_cast<std::ptrdiff_t>(found->second));
  key.byName.clear();
  for (std::size_t i = 0; i < key.values.size(); ++i) {
    key.byName.emplace(FoldRegistryName(key.values[i].name), i);
  }
  return true;
}

bool ParseRegistryText(std::string_view text, RegistryDocument& document, std::string& error) {
  document = RegistryDocument{};
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  Lines lines = SplitLines(text);
  bool headerSeen = false;
  RegistryKeyRecord* key = nullptr;
  for (; lines.current < lines.text.size(); ++lines.current) {
    const std::size_t number = lines.current + 1;
    const std::string_view line = Trim(lines.text[lines.current]);
    if (line.empty() || line.front() == ';') continue;
    std::optional<ParseError> failure;
    if (!headerSeen) {
      if (EqualIgnoringAsciiCase(line, kHeader)) {
        headerSeen = true;
        continue;
      }
      failure = ParseError{"the file must begin with the line REGEDIT4"};
    } else if (line.front() == '[') {
      failure = ReadSection(line, document, key);
    } else if (line.front() == '"' || line.front() == '@') {
      if (key == nullptr) {
        failure = ParseError{"value outside any [key] section"};
      } else {
        failure = ReadValueLine(line, lines, *key);
      }
    } else {
      failure = ParseError{"expected a [key] line or a value line (\"Name\"=... or @=...)"};
    }
    if (failure) {
      error = "line " + std::to_string(number) + ": " + failure->reason;
      return false;
    }
  }
  if (!headerSeen) {
    error = "line 1: the file is empty; it must begin with the line REGEDIT4";
    return false;
  }
  return true;
}

std::string FormatRegistryText(const RegistryDocument& document) {
  std::string out(kHeader);
  out += "\n\n";
  for (const auto& [folded, key] : document.keys) {
    if (key.path.empty() && key.values.empty()) continue;
    out += '[';
    out += kRootName;
    if (!key.path.empty()) {
      out += '\\';
      out += key.path;
    }
    out += "]\n";
    for (const RegistryValueRecord& value : key.values) AppendValue(out, value);
    out += '\n';
  }
  return out;
}

}  // namespace quoril::platform
