#include "temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace forgeval::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  char pattern[] = "/tmp/fgv.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;  // a test may have made the folder unwritable: give the rights back
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  if (!(std::ofstream(path, std::ios::binary) << content)) throw std::runtime_error(path);
}

std::string ReadFile(const std::string& path) {
  return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

bool FileExists(const std::string& path) {
  std::error_code ignored;  // not followed: a dangling symbolic link exists too
  return fs::exists(fs::symlink_status(path, ignored));
}

}  // namespace forgeval::testing
