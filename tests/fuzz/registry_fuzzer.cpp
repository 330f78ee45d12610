// The registry file's parser, with any text an administrator or a broken disk could leave:
// it either refuses the text with a reason or reads a document that, written out, reads back
// as the same document and is written out the same again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/registry_file.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using quoril::platform::RegistryDocument;

bool SameDocument(const RegistryDocument& a, const RegistryDocument& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (auto x = a.keys.begin(), y = b.keys.begin(); x != a.keys.end(); ++x, ++y) {
    if (x->first != y->first || x->second.path != y->second.path) return false;
    const auto& left = x->second.values;
    const auto& right = y->second.values;
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
      if (left[i].name != right[i].name || left[i].type != right[i].type ||
          left[i].data != right[i].data) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegistryDocument document;
  std::string error;
  if (!quoril::platform::ParseRegistryText(text, document, error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  const std::string written = quoril::platform::FormatRegistryText(document);
  RegistryDocument reread;
  FUZZ_CHECK(quoril::platform::ParseRegistryText(written, reread, error));
  FUZZ_CHECK(SameDocument(document, reread));
  FUZZ_CHECK(quoril::platform::FormatRegistryText(reread) == written);
  return 0;
}
