#include "temp_dir.h"

#include "platform/process.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace forgeval::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  // A fresh name under the system's temporary folder, made only by us and open to us alone,
  // as mkdtemp makes it; the same code serves the Windows build.
  static thread_local std::mt19937_64 names{std::random_device{}()};
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("fgv." + std::to_string(names() % 100'000'000));
    std::error_code error;
    if (!fs::create_directory(candidate, error)) continue;
    fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, error);
    path_ = candidate.string();
    return;
  }
  throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
  std::error_code ignored;  // a test may have made the folder unwritable: give the rights back
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
  return path_ + platform::PathSeparator() + name;
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
