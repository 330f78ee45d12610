// A scratch system root (QUORIL_ROOT) for the duration of one test; the root set before it, if
// any, is set again afterwards.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace quoril {

class ScratchRoot {
 public:
  explicit ScratchRoot(const char* name = "quoril-root") {
    if (const char* saved = std::getenv("QUORIL_ROOT")) saved_ = saved;
    std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    setenv("QUORIL_ROOT", path_.c_str(), 1);
  }
  ~ScratchRoot() {
    if (saved_) {
      setenv("QUORIL_ROOT", saved_->c_str(), 1);
    } else {
      unsetenv("QUORIL_ROOT");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> saved_;
};

}  // namespace quoril
