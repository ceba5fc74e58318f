#include "stress/file_exception.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "temp_dir.h"

namespace forgeval {
namespace {

// The texts of the causes a disk worker meets are checked on its error path; here, that the
// exception and the table agree and that codes outside it are unknown.
TEST(FileExceptionTest, CauseTextsByCode) {
  for (int cause = 0; cause <= 14; ++cause) {
    const CFileException failure(static_cast<platform::FileCause>(cause), 0, "x");
    EXPECT_STREQ(failure.CauseText(), FileCauseText(cause)) << cause;
  }
  EXPECT_STREQ(FileCauseText(13), "The disk is full");
  EXPECT_STREQ(FileCauseText(0), "Unknown error");
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
