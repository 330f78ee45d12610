// HKEY_LOCAL_MACHINE held in memory, and its text form: the REGEDIT4 export format that
// administrators read and edit by hand. Pure procedures over strings, so that tests and
// the fuzzer call them without touching a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_error.h"

namespace quoril::platform {

struct RegistryValueRecord {
  std::string name;  // "" is the key's default value, written as @
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;  // exactly as set, terminators included
};

struct RegistryKeyRecord {
  // Below HKEY_LOCAL_MACHINE, components joined by '\', in the case they were created
  // with; "" is HKEY_LOCAL_MACHINE itself.
  std::string path;
  std::vector<RegistryValueRecord> values;    // in the order they were first set
  std::map<std::string, std::size_t> byName;  // case-folded name -> index into values
};

// Orders case-folded key paths as an export lists them: every key directly before its
// subkeys, so that a key's subtree is one contiguous run.
struct RegistryPathOrder {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct RegistryDocument {
  // Keyed by the case-folded path. The root is always there.
  std::map<std::string, RegistryKeyRecord, RegistryPathOrder> keys{{"", RegistryKeyRecord{}}};
};

// Checks a key path as RegOpenKeyA/RegCreateKeyA take it and gives it back with one '\'
// between components: null or "" is the root; one trailing '\' is allowed; a leading '\'
// or an empty component is ERROR_BAD_PATHNAME; a line break in a name is
// ERROR_INVALID_PARAMETER, since the text form could not hold it.
Win32Error NormalizeKeyPath(std::string_view subKey, std::string& path);
bool ValueNameIsStorable(std::string_view name);
std::string FoldRegistryName(std::string_view name);

// `path` must be normalised. Answers null when the key is missing.
RegistryKeyRecord* FindRegistryKey(RegistryDocument& document, std::string_view path);
const RegistryKeyRecord* FindRegistryKey(const RegistryDocument& document, std::string_view path);
// Creates the key and every missing key above it; `created` tells whether anything was new.
RegistryKeyRecord& CreateRegistryKey(RegistryDocument& document, std::string_view path,
                                     bool& created);
// The keys directly below `path`, in the order of the document. A key with subkeys has
// direct ones: every key above a key is there.
std::vector<const RegistryKeyRecord*> DirectSubkeys(const RegistryDocument& document,
                                                    std::string_view path);
const RegistryValueRecord* FindRegistryValue(const RegistryKeyRecord& key, std::string_view name);
// Creates or overwrites the value; a new value keeps the case of `name`, an existing one
// keeps its stored name. Answers whether anything changed.
bool SetRegistryValue(RegistryKeyRecord& key, std::string_view name, std::uint32_t type,
                      std::span<const std::uint8_t> data);
// Removes the value; answers whether it was there.
bool DeleteRegistryValue(RegistryKeyRecord& key, std::string_view name);

// Reads the REGEDIT4 text. On failure answers false, leaves `document` unspecified and
// sets `error` to "line N: reason".
bool ParseRegistryText(std::string_view text, RegistryDocument& document, std::string& error);
// Writes the document as REGEDIT4 text with LF line ends; ParseRegistryText gives back
// the same keys, names, types and bytes.
std::string FormatRegistryText(const RegistryDocument& document);

}  // namespace quoril::platform
