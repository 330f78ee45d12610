// quoril-reg: the settings command of Linux with the syntax of Windows' reg, for the requests
// that administrators make (query, add and delete values and keys of HKEY_LOCAL_MACHINE). It
// goes through the registry of the platform layer, the same code as the service, and prints
// what reg prints for the same request, CR LF line ends included, so that one command for
// each setting works on both systems.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/strings.h"

namespace {

using quoril::Win32Error;
namespace platform = quoril::platform;

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";

// The types that add writes.
constexpr std::array<std::uint32_t, 5> kWritableTypes = {platform::kRegSz, platform::kRegExpandSz,
                                                         platform::kRegDword, platform::kRegBinary,
                                                         platform::kRegMultiSz};

void Out(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void OutLine(std::string_view text) {
  Out(text);
  Out("\r\n");
}

void ErrorLine(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputs("\r\n", stderr);
}

// reg's names, switches and answers ignore ASCII case.
constexpr auto Lower = platform::LowerAscii;
constexpr auto EqualNoCase = platform::EqualIgnoringAsciiCase;

enum class Operation { kQuery, kAdd, kDelete };

struct Request {
  Operation operation = Operation::kQuery;
  std::string_view operationName;        // as reg names it in its usage hint
  std::string path;                      // below HKEY_LOCAL_MACHINE, as typed
  std::optional<std::string> valueName;  // "" is the default value (/ve)
  std::optional<std::string> typeName;
  std::optional<std::string> data;
  bool force = false;
};

// A refused request: reg's first line, and the reason, which reg does not give.
struct Refusal {
  std::string first;
  std::string reason;
};

// reg's words, our reason between them.
int Refuse(const Request& request, const Refusal& refusal) {
  ErrorLine(refusal.first);
  ErrorLine(refusal.reason);
  const std::string command = request.operationName.empty()
                                  ? "quoril-reg"
                                  : "quoril-reg " + std::string(request.operationName);
  ErrorLine("Type \"" + command + " /?\" for usage.");
  return kFailure;
}

Refusal Syntax(std::string reason) {
  return {"ERROR: Invalid syntax.", std::move(reason)};
}

// "HKLM\SUBKEY" or "HKEY_LOCAL_MACHINE\SUBKEY", in any case; the subkey may be empty.
std::optional<Refusal> ParseKey(std::string_view key, std::string& path) {
  std::string_view root = key.substr(0, key.find('\\'));
  std::string_view rest = key.substr(root.size());
  if (!EqualNoCase(root, "HKLM") && !EqualNoCase(root, kRootName)) {
    static constexpr std::array<std::string_view, 10> kOtherRoots = {
        "HKCU", "HKEY_CURRENT_USER",   "HKCR", "HKEY_CLASSES_ROOT",    "HKU", "HKEY_USERS",
        "HKCC", "HKEY_CURRENT_CONFIG", "HKPD", "HKEY_PERFORMANCE_DATA"};
    if (std::ranges::any_of(kOtherRoots,
                            [&](std::string_view other) { return EqualNoCase(root, other); })) {
      return Refusal{"ERROR: Invalid key name.",
                     "Only HKEY_LOCAL_MACHINE (HKLM) is kept on this system: " + std::string(key) +
                         " is outside it."};
    }
    return Refusal{
        "ERROR: Invalid key name.",
        "A key begins with HKLM\\ or HKEY_LOCAL_MACHINE\\: " + std::string(key) + " does not."};
  }
  if (!rest.empty()) rest.remove_prefix(1);
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (rest.find("\\\\") != std::string_view::npos || rest.starts_with('\\') ||
      rest.find_first_of("\r\n") != std::string_view::npos) {
    return Refusal{"ERROR: Invalid key name.",
                   "A key's names are separated by one backslash each and hold no line break."};
  }
  path.assign(rest);
  return std::nullopt;
}

// The switches after KEY: each one once, each where its operation takes it.
std::optional<Refusal> ParseSwitches(std::span<char* const> arguments, Request& request) {
  const bool adding = request.operation == Operation::kAdd;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view word = arguments[i];
    if (word.size() < 2 || (word[0] != '/' && word[0] != '-')) {
      return Syntax("\"" + std::string(word) + "\" is not a switch; switches begin with /.");
    }
    const std::string_view name = word.substr(1);
    auto take = [&](std::optional<std::string>& slot) -> std::optional<Refusal> {
      if (slot) return Syntax(std::string(word) + " is given twice.");
      if (i + 1 >= arguments.size()) return Syntax(std::string(word) + " needs a value.");
      slot = arguments[++i];
      return std::nullopt;
    };
    std::optional<Refusal> refusal;
    if (EqualNoCase(name, "v")) {
      refusal = take(request.valueName);
    } else if (EqualNoCase(name, "ve")) {
      if (request.valueName) return Syntax("/v and /ve name one value; give one of them once.");
      request.valueName = "";
    } else if (adding && EqualNoCase(name, "t")) {
      refusal = take(request.typeName);
    } else if (adding && EqualNoCase(name, "d")) {
      refusal = take(request.data);
    } else if (request.operation != Operation::kQuery && EqualNoCase(name, "f")) {
      if (request.force) return Syntax("/f is given twice.");
      request.force = true;
    } else {
      return Syntax(std::string(word) + " is not a switch of quoril-reg " +
                    std::string(request.operationName) + ".");
    }
    if (refusal) return refusal;
  }
  return std::nullopt;
}

// ---- Data as reg takes and shows it ----

std::optional<std::uint32_t> TypeByName(std::string_view name) {
  for (std::uint32_t type : kWritableTypes) {
    if (EqualNoCase(name, platform::kRegTypeNames[type])) return type;
  }
  return std::nullopt;
}

std::string TypeName(std::uint32_t type) {
  if (type < platform::kRegTypeNames.size()) return std::string(platform::kRegTypeNames[type]);
  return "REG_UNKNOWN";
}

// Decimal, or hexadecimal after 0x, from 0 to 0xFFFFFFFF.
std::optional<std::uint32_t> ParseDword(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && Lower(text[1]) == 'x') {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The bytes that add stores for `text` as `type`.
std::optional<Refusal> EncodeData(std::uint32_t type, const std::optional<std::string>& text,
                                  std::vector<std::uint8_t>& bytes) {
  const std::string data = text.value_or("");
  if (type == platform::kRegDword) {
    const std::optional<std::uint32_t> number = text ? ParseDword(data) : std::nullopt;
    if (!number) {
      return Syntax(
          "REG_DWORD needs /d with a number from 0 to 4294967295, or 0x0 to "
          "0xffffffff" +
          (text ? ": \"" + data + "\" is not one." : std::string(".")));
    }
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(*number >> shift));
    }
    return std::nullopt;
  }
  if (type == platform::kRegBinary) {
    if (data.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return Syntax("REG_BINARY needs /d with hex digits, two for each byte: \"" + data +
                    "\" is not that.");
    }
    // An odd count of digits makes the first one a byte of its own, as reg does.
    for (std::size_t i = 0, width = 2 - data.size() % 2; i < data.size(); i += width, width = 2) {
      std::uint8_t byte = 0;
      std::from_chars(data.data() + i, data.data() + i + width, byte, 16);
      bytes.push_back(byte);
    }
    return std::nullopt;
  }
  if (type == platform::kRegMultiSz) {
    // As reg add takes it: the texts separated by the two characters \0, each stored with its
    // terminator, and one more terminator after the last.
    std::size_t start = 0;
    while (!data.empty() && start <= data.size()) {
      const std::size_t end = std::min(data.find("\\0", start), data.size());
      bytes.insert(bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(start),
                   data.begin() + static_cast<std::ptrdiff_t>(end));
      bytes.push_back(0);
      start = end + 2;
    }
    bytes.push_back(0);
    return std::nullopt;
  }
  // The texts are stored with their terminator, as RegSetValueExA is given them.
  bytes.assign(data.begin(), data.end());
  bytes.push_back(0);
  return std::nullopt;
}

std::string ShowData(std::uint32_t type, const std::vector<std::uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char number[24];
  switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz: {
      std::string text(data.begin(), data.end());
      return text.substr(0, text.find('\0'));
    }
    case platform::kRegDword:
    case 5:  // REG_DWORD_BIG_ENDIAN, shown as reg shows it: as it is in memory
    case platform::kRegQword: {
      const std::size_t width = type == platform::kRegQword ? 8 : 4;
      unsigned long long value = 0;
      for (std::size_t i = 0; i < width && i < data.size(); ++i) {
        value |= static_cast<unsigned long long>(data[i]) << 8 * i;
      }
      std::snprintf(number, sizeof number, "0x%llx", value);
      return number;
    }
    case platform::kRegMultiSz: {  // the strings joined by \0, without the final terminators
      std::string text(data.begin(), data.end());
      while (!text.empty() && text.back() == '\0') text.pop_back();
      std::string shown;
      for (char c : text) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
      return shown;
    }
    default: {
      std::string hex;
      for (std::uint8_t byte : data) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
      }
      return hex;
    }
  }
}

// A value's name as reg shows it: the default value's is empty.
std::string ShownName(std::string_view name) {
  return std::string(name.empty() ? "(Default)" : name);
}

std::string KeyName(std::string_view path) {
  return path.empty() ? std::string(kRootName) : std::string(kRootName) + '\\' + std::string(path);
}

// A failure of the registry's store (a file that cannot be read, parsed or written): reg's
// words where it has them, then the layer's reason, which names the file and the line.
int StoreFailure(Win32Error error) {
  ErrorLine(error == quoril::ERROR_ACCESS_DENIED ? "ERROR: Access is denied."
            : error == quoril::ERROR_REGISTRY_CORRUPT
                ? "ERROR: The registry file cannot be read, and is left as it is."
                : "ERROR: The registry cannot be read or changed.");
  const std::string reason = platform::LastRegistryError();
  if (!reason.empty()) ErrorLine(reason);
  return kFailure;
}

bool IsAbsent(Win32Error error) {
  return error == quoril::ERROR_FILE_NOT_FOUND || error == quoril::ERROR_KEY_DELETED;
}

// A key or value that is not there is reg's "not found"; anything else the store's failure.
int Failed(Win32Error error) {
  if (!IsAbsent(error)) return StoreFailure(error);
  ErrorLine(kNotFound);
  return kFailure;
}

// Asks on the console as reg does; only a yes goes on, and the end of the input is a no.
bool Confirmed(const std::string& question) {
  for (;;) {
    Out(question);
    std::fflush(stdout);
    std::array<char, 256> line{};
    if (std::fgets(line.data(), static_cast<int>(line.size()), stdin) == nullptr) return false;
    std::string_view answer(line.data());
    answer = answer.substr(0, answer.find_last_not_of("\r\n ") + 1);
    if (EqualNoCase(answer, "y") || EqualNoCase(answer, "yes")) return true;
    if (EqualNoCase(answer, "n") || EqualNoCase(answer, "no")) return false;
  }
}

int Cancelled() {
  OutLine("The operation was canceled by the user.");
  return kSuccess;
}

// ---- The operations ----

// The names of the keys right below `key`, each after `prefix`.
Win32Error ListSubkeys(const platform::RegistryKey& key, const std::string& prefix,
                       std::vector<std::string>& subkeys) {
  for (std::uint32_t index = 0;; ++index) {
    std::string name;
    const Win32Error error = key.EnumKey(index, name);
    if (error == quoril::ERROR_NO_MORE_ITEMS) return quoril::ERROR_SUCCESS;
    if (error != quoril::ERROR_SUCCESS) return error;
    subkeys.push_back(prefix + name);
  }
}

int Query(const Request& request) {
  platform::RegistryKey key;
  if (const Win32Error error = key.Open(request.path.c_str())) return Failed(error);
  const std::string keyName = KeyName(request.path);
  // Read whole before anything is printed, so that a failure prints nothing else.
  struct Value {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
  };
  std::vector<Value> values;
  std::vector<std::string> subkeys;
  if (request.valueName) {
    Value& value = values.emplace_back(*request.valueName, 0, std::vector<std::uint8_t>(64 * 1024));
    std::uint32_t size = 0;
    Win32Error error = key.QueryValue(value.name.c_str(), value.data, size, &value.type);
    if (error == quoril::ERROR_MORE_DATA) {
      value.data.resize(size);
      error = key.QueryValue(value.name.c_str(), value.data, size, &value.type);
    }
    if (error != quoril::ERROR_SUCCESS) return Failed(error);
    value.data.resize(size);
  } else {
    for (std::uint32_t index = 0;; ++index) {
      Value value;
      const Win32Error error = key.EnumValue(index, value.name, value.type, value.data);
      if (error == quoril::ERROR_NO_MORE_ITEMS) break;
      if (error != quoril::ERROR_SUCCESS) return StoreFailure(error);
      values.push_back(std::move(value));
    }
    if (const Win32Error error = ListSubkeys(key, keyName + '\\', subkeys)) {
      return StoreFailure(error);
    }
  }
  Out("\r\n");
  if (!values.empty()) {
    OutLine(keyName);
    for (const Value& value : values) {
      OutLine("    " + ShownName(value.name) + "    " + TypeName(value.type) + "    " +
              ShowData(value.type, value.data));
    }
    Out("\r\n");
  }
  for (const std::string& subkey : subkeys) OutLine(subkey);
  return kSuccess;
}

int Add(const Request& request) {
  // Everything is checked before the file is touched.
  std::uint32_t type = platform::kRegSz;
  if (request.typeName) {
    const std::optional<std::uint32_t> named = TypeByName(*request.typeName);
    if (!named) {
      return Refuse(request, Syntax("\"" + *request.typeName +
                                    "\" is not a type quoril-reg writes: REG_SZ, "
                                    "REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ."));
    }
    type = *named;
  }
  std::vector<std::uint8_t> bytes;
  if (std::optional<Refusal> refusal = EncodeData(type, request.data, bytes)) {
    return Refuse(request, *refusal);
  }
  const std::string name = request.valueName.value_or("");

  platform::RegistryKey key;
  Win32Error error = key.Open(request.path.c_str());
  if (error == quoril::ERROR_SUCCESS && !request.force) {
    std::array<std::uint8_t, 1> probe{};
    std::uint32_t size = 0;
    const Win32Error found = key.QueryValue(name.c_str(), probe, size);
    if (found == quoril::ERROR_SUCCESS || found == quoril::ERROR_MORE_DATA) {
      if (!Confirmed("Value " + ShownName(name) + " exists, overwrite(Yes/No)? ")) {
        return Cancelled();
      }
    } else if (!IsAbsent(found)) {
      return StoreFailure(found);
    }
  } else if (error != quoril::ERROR_SUCCESS && !IsAbsent(error)) {
    return StoreFailure(error);
  }
  if ((error = key.Create(request.path.c_str())) != quoril::ERROR_SUCCESS) {
    return StoreFailure(error);
  }
  if ((error = key.SetValue(name.c_str(), type, bytes)) != quoril::ERROR_SUCCESS) {
    return StoreFailure(error);
  }
  OutLine("The operation completed successfully.");
  return kSuccess;
}

// Deletes the key at `path` with every key below it, the deepest first.
Win32Error DeleteTree(const std::string& path) {
  std::vector<std::string> subkeys;
  {
    platform::RegistryKey key;
    if (const Win32Error error = key.Open(path.c_str())) return error;
    if (const Win32Error error = ListSubkeys(key, path + '\\', subkeys)) return error;
  }
  for (const std::string& subkey : subkeys) {
    if (const Win32Error error = DeleteTree(subkey)) return error;
  }
  return platform::DeleteRegistryKey(path.c_str());
}

// What reg prints once a key or value is deleted, or could not be.
int DeletionDone(Win32Error error) {
  if (error) return Failed(error);
  OutLine("The operation completed successfully.");
  return kSuccess;
}

int Delete(const Request& request) {
  if (!request.valueName && request.path.empty()) {
    ErrorLine("ERROR: Access is denied.");
    ErrorLine("HKEY_LOCAL_MACHINE itself is never deleted.");
    return kFailure;
  }
  platform::RegistryKey key;
  if (const Win32Error error = key.Open(request.path.c_str())) return Failed(error);
  if (!request.valueName) {
    key.Close();
    if (!request.force && !Confirmed("Permanently delete the registry key " +
                                     KeyName(request.path) + " (Yes/No)? ")) {
      return Cancelled();
    }
    return DeletionDone(DeleteTree(request.path));
  }
  const std::string& name = *request.valueName;
  if (!request.force &&
      !Confirmed("Delete the registry value " + ShownName(name) + " (Yes/No)? ")) {
    return Cancelled();
  }
  return DeletionDone(key.DeleteValue(name.c_str()));
}

int Usage() {
  static constexpr std::string_view kLines[] = {
      "",
      "quoril-reg OPERATION KEY [switches]: the settings of Quoril, as Windows' reg edits them.",
      "",
      "  quoril-reg query KEY [/v NAME | /ve]",
      "  quoril-reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]",
      "  quoril-reg delete KEY [/v NAME | /ve] [/f]",
      "",
      "  KEY   HKLM\\SUBKEY or HKEY_LOCAL_MACHINE\\SUBKEY",
      "  TYPE  REG_SZ (the default), REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ",
      "  DATA  text; for REG_DWORD a number (decimal, or hex after 0x); for REG_BINARY hex",
      "        digits, two for each byte; for REG_MULTI_SZ texts separated by \\0",
      "  /ve   the key's default value, whose name is empty",
      "  /f    no question before a value is overwritten or deleted",
      "",
      "delete without /v or /ve deletes the key with every key below it.",
      "",
      "Example (the key in quotes, or the shell takes its backslashes away):",
      "  quoril-reg add \"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters\" /v "
      "Timeout /t REG_DWORD /d 5 /f",
      "",
      "See quoril-reg(8).",
  };
  for (std::string_view line : kLines) OutLine(line);
  return kSuccess;
}

bool IsHelp(std::string_view word) {
  return word == "/?" || word == "-?" || EqualNoCase(word, "/h") || EqualNoCase(word, "-h") ||
         word == "--help";
}

struct OperationRow {
  std::string_view name;
  Operation operation;
  int (*run)(const Request& request);
};

constexpr OperationRow kOperations[] = {{"query", Operation::kQuery, Query},
                                        {"add", Operation::kAdd, Add},
                                        {"delete", Operation::kDelete, Delete}};

}  // namespace

int main(int argc, char** argv) {
  const std::span<char* const> arguments(argv + 1,
                                         static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
  Request request;
  if (arguments.empty()) {
    return Refuse(request, Syntax("Name an operation: query, add or delete."));
  }
  if (IsHelp(arguments[0])) return Usage();
  const std::string_view operation = arguments[0];
  const OperationRow* row = std::ranges::find_if(kOperations, [&](const OperationRow& candidate) {
    return EqualNoCase(operation, candidate.name);
  });
  if (row == std::ranges::end(kOperations)) {
    return Refuse(request, Syntax("\"" + std::string(operation) +
                                  "\" is not an operation of quoril-reg: query, add or delete."));
  }
  request.operation = row->operation;
  request.operationName = row->name;
  if (arguments.size() < 2) return Refuse(request, Syntax("Name a key after the operation."));
  if (IsHelp(arguments[1])) return Usage();
  if (std::optional<Refusal> refusal = ParseKey(arguments[1], request.path)) {
    return Refuse(request, *refusal);
  }
  if (std::optional<Refusal> refusal = ParseSwitches(arguments.subspan(2), request)) {
    return Refuse(request, *refusal);
  }
  return row->run(request);
}
