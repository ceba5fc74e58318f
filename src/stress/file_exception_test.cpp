#include "stress/file_exception.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "temp_dir.h"

namespace forgeval {
namespace {

TEST(FileExceptionTest, CauseTextsByCode) {
  const char* const texts[] = {
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
  for (int cause = 0; cause <= 14; ++cause) {
    SCOPED_TRACE(cause);
    EXPECT_STREQ(FileCauseText(cause), texts[cause]);
    const CFileException failure(static_cast<platform::FileCause>(cause), 0, "x");
    EXPECT_STREQ(failure.CauseText(), texts[cause]);
  }
  EXPECT_STREQ(FileCauseText(15), "Unknown error");
  EXPECT_STREQ(FileCauseText(-1), "Unknown error");
}

TEST(FileExceptionTest, ThrownFromAnErrorNumberWithItsCause) {
  testing::TempDir dir;
  try {
    ThrowIfFileError(0, dir.File("f"));  // no error: nothing thrown
    ThrowIfFileError(ENOSPC, dir.File("f"));
    FAIL() << "nothing thrown";
  } catch (const CFileException& failure) {
    EXPECT_EQ(failure.cause(), platform::FileCause::kDiskFull);
    EXPECT_EQ(failure.os_error(), ENOSPC);
    EXPECT_EQ(failure.file_name(), dir.File("f"));
    EXPECT_TRUE(failure.IsKindOf(&CException::classCException));
    EXPECT_STREQ(failure.GetRuntimeClass()->class_name, "CFileException");
    char text[8];
    EXPECT_TRUE(failure.GetErrorMessage(text, sizeof text));
    EXPECT_STREQ(text, "The dis");  // cut to the buffer
  }
}

}  // namespace
}  // namespace forgeval
