#include "stress/file_exception.h"

#include <array>
#include <cstdio>
#include <utility>

namespace forgeval {
namespace {

constexpr std::array<const char*, 15> kCauseTexts = {
    "Unknown error",
    "An unspecified error occurred",
    "The file could not be located",
    "All or part of the path is invalid",
    "The permitted number of open files was exceeded",
    "The file could not be accessed",
    "There was an attempt to use an invalid file handle",
    "The current working directory cannot be removed",
    "There are no more directory entries",
    "There was an error trying to set the file pointer",
    "There was a hardware error",
    "SHARE.EXE was not loaded, or a shared region was locked",
    "There was an attempt to lock a region that was already locked",
    "The disk is full",
    "The end of file was reached",
};

}  // namespace

const CRuntimeClass CFileException::classCFileException = {
    "CFileException", sizeof(CFileException), 0xFFFF, nullptr, &CException::classCException};

CFileException::CFileException(platform::FileCause cause, int os_error, std::string file_name)
    : cause_(cause), os_error_(os_error), file_name_(std::move(file_name)) {}

const CRuntimeClass* CFileException::GetRuntimeClass() const { return &classCFileException; }

bool CFileException::GetErrorMessage(char* buffer, unsigned capacity,
                                     unsigned* help_context) const {
  if (help_context != nullptr) *help_context = 0;
  if (buffer == nullptr || capacity == 0) return false;
  snprintf(buffer, capacity, "%s", CauseText());
  return true;
}

const char* CFileException::CauseText() const { return FileCauseText(static_cast<int>(cause_)); }

void CFileException::ThrowOsError(int os_error, const std::string& file_name) {
  throw CFileException(platform::FileCauseOf(os_error, file_name), os_error, file_name);
}

const char* FileCauseText(int cause) {
  if (cause < 0 || static_cast<size_t>(cause) >= kCauseTexts.size()) return kCauseTexts[0];
  return kCauseTexts[static_cast<size_t>(cause)];
}

}  // namespace forgeval
