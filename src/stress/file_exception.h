// CFileException: a failed file operation of the disk test, thrown by value and caught by the
// test's inner scope, which reports it. It carries the failure's cause code (the program's
// file failure table, platform/file_cause.h), the system's error number and the file's name,
// and describes itself by the cause's text, "The disk is full" for example.
#ifndef FORGEVAL_STRESS_FILE_EXCEPTION_H_
#define FORGEVAL_STRESS_FILE_EXCEPTION_H_

#include <string>

#include "fault/se_exception.h"
#include "platform/file_cause.h"

namespace forgeval {

class CFileException : public CException {
 public:
  CFileException(platform::FileCause cause, int os_error, std::string file_name);

  const CRuntimeClass* GetRuntimeClass() const override;
  bool GetErrorMessage(char* buffer, unsigned capacity,
                       unsigned* help_context = nullptr) const override;

  // The text of the failure's cause; "Unknown error" for kNone and any code beyond the table.
  const char* CauseText() const;

  platform::FileCause cause() const { return cause_; }
  int os_error() const { return os_error_; }
  const std::string& file_name() const { return file_name_; }

  // Throws the failure of an operation on `file_name` that reported the errno value
  // `os_error`, with the cause that value stands for.
  [[noreturn]] static void ThrowOsError(int os_error, const std::string& file_name);

  static const CRuntimeClass classCFileException;

 private:
  platform::FileCause cause_;
  int os_error_;
  std::string file_name_;
};

// Throws the failure of an operation on `file_name` when `os_error` (an errno value) is not 0.
inline void ThrowIfFileError(int os_error, const std::string& file_name) {
  if (os_error != 0) CFileException::ThrowOsError(os_error, file_name);
}

// The text of a cause code: "An unspecified error occurred" (1) to "The end of file was
// reached" (14); "Unknown error" for 0 and any other value.
const char* FileCauseText(int cause);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_FILE_EXCEPTION_H_
