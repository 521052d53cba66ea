// A private temporary directory for one test, removed with everything in it
// (POSIX hosts). path() is empty when it could not be made.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace qktest {

struct TempDir {
  TempDir() : path_((std::filesystem::temp_directory_path() / "qktest-XXXXXX").string()) {
    if (mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace qktest
