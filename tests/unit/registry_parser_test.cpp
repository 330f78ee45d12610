// The REGEDIT4 text form: what people write is read, what cannot be read fails with its
// line, and whatever is written reads back byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/registry_file.h"
#include "platform/registry.h"

namespace quoril::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text, bool terminated = true) {
  Bytes bytes(text.begin(), text.end());
  if (terminated) bytes.push_back(0);
  return bytes;
}

// A readable picture of the whole document, for comparing two documents.
std::string Describe(const RegistryDocument& document) {
  std::string out;
  for (const auto& [folded, key] : document.keys) {
    out += "[" + folded + "|" + key.path + "]\n";
    for (const RegistryValueRecord& value : key.values) {
      out += value.name + ":" + std::to_string(value.type) + ":";
      for (std::uint8_t b : value.data) out += std::to_string(b) + ",";
      out += "\n";
    }
  }
  return out;
}

const RegistryValueRecord* Lookup(const RegistryDocument& document, std::string_view key,
                                  std::string_view name) {
  const RegistryKeyRecord* record = FindRegistryKey(document, key);
  return record == nullptr ? nullptr : FindRegistryValue(*record, name);
}

struct ReadCase {
  const char* name;
  std::string text;
  const char* key;
  const char* value;
  std::uint32_t type;
  Bytes data;
};

TEST(RegistryParser, ReadsWhatPeopleWrite) {
  const std::vector<ReadCase> cases = {
      {"dword as regedit writes it",
       "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"T\"=dword:00000003\n",
       "A",
       "T",
       kRegDword,
       {3, 0, 0, 0}},
      {"short dword",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"T\"=dword:ff\n",
       "A",
       "T",
       kRegDword,
       {0xff, 0, 0, 0}},
      {"upper-case prefix and digits",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"T\"=DWORD:8000000A\n",
       "A",
       "T",
       kRegDword,
       {0x0a, 0, 0, 0x80}},
      {"hex(4) number",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"T\"=hex(4):05,00,00,00\n",
       "A",
       "T",
       kRegDword,
       {5, 0, 0, 0}},
      {"string with escapes",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"Dir\"=\"C:\\\\Boot \\\"x\\\"\"\n", "A", "Dir", kRegSz,
       Text("C:\\Boot \"x\"")},
      {"empty string", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"S\"=\"\"\n", "A", "S", kRegSz,
       Bytes{0}},
      {"expandable string", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"E\"=hex(2):2f,74,00\n", "A", "E",
       kRegExpandSz, Text("/t")},
      {"binary",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"B\"=hex:00,ff,7F\n",
       "A",
       "B",
       kRegBinary,
       {0, 0xff, 0x7f}},
      {"empty hex", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"B\"=hex(1):\n", "A", "B", kRegSz, {}},
      {"other type",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"Q\"=hex(b):01,02\n",
       "A",
       "Q",
       0xb,
       {1, 2}},
      {"default value", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n@=\"d\"\n", "A", "", kRegSz, Text("d")},
      {"comments and blank lines",
       "; made by hand\n\nREGEDIT4\n; settings\n\n[HKEY_LOCAL_MACHINE\\A]\n  ; note\n"
       "\"T\" = dword:1 ; seconds\n\n",
       "A",
       "T",
       kRegDword,
       {1, 0, 0, 0}},
      {"CR LF line ends",
       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"S\"=\"x\"\r\n\"B\"=hex:01,\\\r\n  02\r\n",
       "A",
       "B",
       kRegBinary,
       {1, 2}},
      {"continuation lines",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"B\"=hex:01,02,\\\n  03,\\\n04\n",
       "A",
       "B",
       kRegBinary,
       {1, 2, 3, 4}},
      {"byte order mark",
       "\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"T\"=dword:2\n",
       "A",
       "T",
       kRegDword,
       {2, 0, 0, 0}},
      {"key and value found in any case",
       "REGEDIT4\n[hkey_local_machine\\SYSTEM\\Quoril]\n\"TimeOut\"=dword:7\n",
       "system\\QUORIL",
       "timeout",
       kRegDword,
       {7, 0, 0, 0}},
      {"duplicate value: last wins",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"T\"=dword:1\n\"t\"=\"two\"\n", "A", "T", kRegSz,
       Text("two")},
      {"repeated section merges",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"T\"=dword:1\n[HKEY_LOCAL_MACHINE\\B]\n"
       "[HKEY_LOCAL_MACHINE\\a]\n\"U\"=dword:2\n",
       "A",
       "T",
       kRegDword,
       {1, 0, 0, 0}},
      {"root key values",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE]\n\"R\"=dword:9\n",
       "",
       "R",
       kRegDword,
       {9, 0, 0, 0}},
      {"bytes above 127 kept", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"S\"=\"\xE9t\xE9\"\n", "A", "S",
       kRegSz, Text("\xE9t\xE9")},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    RegistryDocument document;
    std::string error;
    ASSERT_TRUE(ParseRegistryText(c.text, document, error)) << error;
    const RegistryValueRecord* value = Lookup(document, c.key, c.value);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, c.type);
    EXPECT_EQ(value->data, c.data);
  }
}

TEST(RegistryParser, SectionsImplyTheKeysAboveThem) {
  RegistryDocument document;
  std::string error;
  ASSERT_TRUE(ParseRegistryText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quoril\\Parameters]\n",
                                document, error));
  for (const char* path : {"", "software", "SOFTWARE\\quoril", "Software\\Quoril\\Parameters"}) {
    EXPECT_NE(FindRegistryKey(document, path), nullptr) << path;
  }
  EXPECT_EQ(FindRegistryKey(document, "Software\\Other"), nullptr);
  EXPECT_FALSE(DirectSubkeys(document, "software\\quoril").empty());
  EXPECT_TRUE(DirectSubkeys(document, "Software\\Quoril\\Parameters").empty());
  // Stored case is kept as first written.
  EXPECT_EQ(FindRegistryKey(document, "software\\quoril")->path, "Software\\Quoril");
}

struct RejectCase {
  const char* name;
  std::string text;
  const char* where;  // the start of the error text: the line at fault
};

TEST(RegistryParser, RejectsWhatItCannotRead) {
  const std::string head = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
  const std::vector<RejectCase> cases = {
      {"empty file", "", "line 1:"},
      {"only blank lines and comments", "\n; nothing\n\n", "line 1:"},
      {"no header", "[HKEY_LOCAL_MACHINE\\A]\n", "line 1:"},
      {"version 5 header", "Windows Registry Editor Version 5.00\n", "line 1:"},
      {"garbage", "\x01\x02\xff garbage \x7f", "line 1:"},
      {"value without a section", "REGEDIT4\n\"T\"=dword:1\n", "line 2:"},
      {"stray text", head + "Timeout=3\n", "line 3:"},
      {"unterminated name", head + "\"T=dword:1\n", "line 3:"},
      {"unterminated string", head + "\"S\"=\"abc\n", "line 3:"},
      {"string cut by a backslash at the end", head + "\"S\"=\"abc\\\n", "line 3:"},
      {"unknown escape", head + "\"S\"=\"C:\\tftp\"\n", "line 3:"},
      {"text after a string", head + "\"S\"=\"a\" b\n", "line 3:"},
      {"missing =", head + "\"S\" \"a\"\n", "line 3:"},
      {"missing data", head + "\"S\"=\n", "line 3:"},
      {"dword too long", head + "\"T\"=dword:123456789\n", "line 3:"},
      {"dword not hex", head + "\"T\"=dword:12x4\n", "line 3:"},
      {"dword empty", head + "\"T\"=dword:\n", "line 3:"},
      {"hex byte too long", head + "\"B\"=hex:001\n", "line 3:"},
      {"hex byte not hex", head + "\"B\"=hex:0g\n", "line 3:"},
      {"hex empty byte", head + "\"B\"=hex:01,,02\n", "line 3:"},
      {"hex type not hex", head + "\"B\"=hex(z):01\n", "line 3:"},
      {"hex type too long", head + "\"B\"=hex(123456789):01\n", "line 3:"},
      {"hex type without colon", head + "\"B\"=hex(2)01\n", "line 3:"},
      {"continuation past the end", head + "\"B\"=hex:01,\\\n", "line 3:"},
      {"value deletion", head + "\"T\"=-\n", "line 3:"},
      {"key deletion", "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n", "line 2:"},
      {"other hive", "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n", "line 2:"},
      {"hive name run on", "REGEDIT4\n[HKEY_LOCAL_MACHINEX\\A]\n", "line 2:"},
      {"section without ]", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", "line 2:"},
      {"empty key name", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "line 2:"},
      {"empty path after hive", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\]\n", "line 2:"},
      {"error after good lines", head + "\"T\"=dword:1\n\n\n\"U\"=dword:zz\n", "line 6:"},
      {"CR LF numbering", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\r\nbad\r\n", "line 4:"},
  };
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.name);
    RegistryDocument document;
    std::string error;
    EXPECT_FALSE(ParseRegistryText(c.text, document, error));
    EXPECT_TRUE(error.starts_with(c.where)) << error;
  }
}

TEST(RegistryParser, VeryLongLinesAreRead) {
  const std::string longText(100000, 'x');
  std::string hex;
  for (int i = 0; i < 200000; ++i) hex += (i ? ",a5" : "a5");
  const std::string longKey(5000, 'k');
  std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + longKey + "]\n\"S\"=\"" + longText +
                     "\"\n\"B\"=hex:" + hex + "\n";
  RegistryDocument document;
  std::string error;
  ASSERT_TRUE(ParseRegistryText(text, document, error)) << error;
  EXPECT_EQ(Lookup(document, longKey, "S")->data, Text(longText));
  EXPECT_EQ(Lookup(document, longKey, "B")->data, Bytes(200000, 0xa5));

  // The same with an unterminated string at its end fails instead of reading on.
  EXPECT_FALSE(
      ParseRegistryText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"S\"=\"" + longText, document, error));
}

struct WriteCase {
  const char* name;
  std::uint32_t type;
  Bytes data;
  const char* line;  // how the value appears in the file
};

TEST(RegistryParser, EveryTypeAndOddBytesRoundTrip) {
  const std::vector<WriteCase> cases = {
      {"plain string", kRegSz, Text("quorld.log"), "\"V\"=\"quorld.log\"\n"},
      {"escaped string", kRegSz, Text("a\\b\"c"), "\"V\"=\"a\\\\b\\\"c\"\n"},
      {"empty string", kRegSz, Bytes{0}, "\"V\"=\"\"\n"},
      {"string without terminator", kRegSz, Text("ab", false), "\"V\"=hex(1):61,62\n"},
      {"string with embedded NUL", kRegSz, Bytes{'a', 0, 'b', 0}, "\"V\"=hex(1):61,00,62,00\n"},
      {"string with two terminators", kRegSz, Bytes{'a', 0, 0}, "\"V\"=hex(1):61,00,00\n"},
      {"string with a line break", kRegSz, Text("a\nb"), "\"V\"=hex(1):61,0a,62,00\n"},
      {"string with CR", kRegSz, Text("a\r"), "\"V\"=hex(1):61,0d,00\n"},
      {"no data", kRegSz, {}, "\"V\"=hex(1):\n"},
      {"dword", kRegDword, {0x78, 0x56, 0x34, 0x12}, "\"V\"=dword:12345678\n"},
      {"dword of 3 bytes", kRegDword, {1, 2, 3}, "\"V\"=hex(4):01,02,03\n"},
      {"dword of 5 bytes", kRegDword, {1, 2, 3, 4, 5}, "\"V\"=hex(4):01,02,03,04,05\n"},
      {"expandable string", kRegExpandSz, Text("%Root%"), "\"V\"=hex(2):25,52,6f,6f,74,25,00\n"},
      {"binary", kRegBinary, {0, 0x80, 0xff}, "\"V\"=hex:00,80,ff\n"},
      {"empty binary", kRegBinary, {}, "\"V\"=hex:\n"},
      {"type 0", 0, {1}, "\"V\"=hex(0):01\n"},
      {"large type", 0xffffffffu, {2}, "\"V\"=hex(ffffffff):02\n"},
      {"4 bytes of another type", 7, {1, 0, 0, 0}, "\"V\"=hex(7):01,00,00,00\n"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    RegistryDocument document;
    bool created = false;
    SetRegistryValue(CreateRegistryKey(document, "K", created), "V", c.type, c.data);
    std::string text = FormatRegistryText(document);
    EXPECT_NE(text.find(c.line), std::string::npos) << text;
    RegistryDocument back;
    std::string error;
    ASSERT_TRUE(ParseRegistryText(text, back, error)) << error << "\n" << text;
    EXPECT_EQ(Describe(back), Describe(document));
  }
}

TEST(RegistryParser, LongDataWrapsAsRegeditDoes) {
  RegistryDocument document;
  bool created = false;
  RegistryKeyRecord& key = CreateRegistryKey(document, "K", created);
  Bytes data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  SetRegistryValue(key, "Long", kRegExpandSz, data);
  SetRegistryValue(key, std::string(120, 'n'), kRegBinary, data);
  std::string text = FormatRegistryText(document);
  std::size_t start = 0;
  int continued = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string_view line(text.data() + start, end - start);
    if (line.ends_with("\\")) {
      ++continued;
      EXPECT_TRUE(line.ends_with(",\\")) << line;
    }
    // Only a long name may push a line past the wrap column.
    if (line.find("nnnn") == std::string_view::npos) {
      EXPECT_LE(line.size(), 80u) << line;
    }
    start = end + 1;
  }
  EXPECT_GT(continued, 10);
  RegistryDocument back;
  std::string error;
  ASSERT_TRUE(ParseRegistryText(text, back, error)) << error;
  EXPECT_EQ(Describe(back), Describe(document));
}

TEST(RegistryParser, WritesKeysInTreeOrderWithStoredCase) {
  RegistryDocument document;
  bool created = false;
  CreateRegistryKey(document, "B\\Child", created);
  CreateRegistryKey(document, "A b", created);
  CreateRegistryKey(document, "a\\Sub", created);
  CreateRegistryKey(document, "A\\sub\\Deeper", created);
  EXPECT_EQ(FormatRegistryText(document),
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\a]\n\n"
            "[HKEY_LOCAL_MACHINE\\a\\Sub]\n\n"
            "[HKEY_LOCAL_MACHINE\\a\\Sub\\Deeper]\n\n"
            "[HKEY_LOCAL_MACHINE\\A b]\n\n"
            "[HKEY_LOCAL_MACHINE\\B]\n\n"
            "[HKEY_LOCAL_MACHINE\\B\\Child]\n\n");
}

// Mutated versions of a good file: each either fails with a reason or reads as a
// document that writes and reads back unchanged.
TEST(RegistryParser, MutatedFilesFailOrRoundTrip) {
  const std::string sample =
      "REGEDIT4\r\n\r\n; settings\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
      "Quoril\\Parameters]\r\n\"DefaultDirectory\"=hex(2):2f,73,72,76,2f,74,66,74,70,00\r\n"
      "\"LogFile\"=\"quorld.log\"\r\n\"EnableLogging\"=dword:00000000\r\n"
      "\"Timeout\"=hex(4):03,00,00,00\r\n\"Odd\"=hex(1):61,00,62,\\\r\n  63\r\n"
      "@=\"a\\\\b\\\"c\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Other]\r\n\"B\"=hex:01\r\n";
  const std::string alphabet = "[]\"\\=@:,;\r\n \t0fxX(-)hexdword";
  std::mt19937 random(20240501);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n)(random);
  };
  int parsed = 0;
  int failed = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text = sample;
    int edits = 1 + static_cast<int>(pick(4));
    for (int e = 0; e < edits && !text.empty(); ++e) {
      std::size_t at = pick(text.size() - 1);
      switch (pick(5)) {
        case 0:
          text[at] = alphabet[pick(alphabet.size() - 1)];
          break;
        case 1:
          text.insert(at, 1, alphabet[pick(alphabet.size() - 1)]);
          break;
        case 2:
          text.erase(at, pick(8));
          break;
        case 3:
          text.resize(at);  // truncated
          break;
        case 4:
          text.insert(at, text.substr(pick(text.size() - 1), pick(40)));
          break;
        default:
          text[at] = static_cast<char>(pick(255));
          break;
      }
    }
    RegistryDocument document;
    std::string error;
    if (!ParseRegistryText(text, document, error)) {
      ++failed;
      EXPECT_TRUE(error.starts_with("line ")) << error;
      continue;
    }
    ++parsed;
    std::string written = FormatRegistryText(document);
    RegistryDocument back;
    ASSERT_TRUE(ParseRegistryText(written, back, error)) << error << "\n" << written;
    ASSERT_EQ(Describe(back), Describe(document)) << text;
  }
  // The mutations reach both outcomes, so neither branch is dead.
  EXPECT_GT(parsed, 100);
  EXPECT_GT(failed, 100);
}

}  // namespace
}  // namespace quoril::platform
