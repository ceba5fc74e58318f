// A fresh folder below the system's temporary folder for one test, removed with all it holds;
// helpers for its files.
#ifndef FORGEVAL_TESTS_SUPPORT_TEMP_DIR_H_
#define FORGEVAL_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace forgeval::testing {

class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  // `name` inside the folder, joined with the system's separator.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // empty when the file is missing
bool FileExists(const std::string& path);

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_TEMP_DIR_H_
