// Signals that are no processor faults.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fault/se_exception.h"

namespace forgeval {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizer's report takes the signal and exits
#else
constexpr bool kSanitized = false;
#endif

// The code of the fault `body` raised under translation; 0 when nothing was raised.
template <typename Body>
uint32_t RaisedCode(Body body) {
  try {
    RunTranslated(body);
  } catch (CSeException* exception) {
    const uint32_t code = exception->code();
    exception->Delete();
    return code;
  }
  return 0;
}

// A SIGSEGV sent rather than raised by the processor gets the default action. (A fault in a
// thread without translation is checked end to end.)
TEST(SeTranslatorDeathTest, ASentSignalIsNoProcessorFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto died = [](int s) {
    return kSanitized ? WIFEXITED(s) && (WEXITSTATUS(s) == 1 || WEXITSTATUS(s) == 66)
                      : WIFSIGNALED(s) && WTERMSIG(s) == SIGSEGV;
  };
  SeTranslatorScope translator;
  EXPECT_EXIT(_exit(RaisedCode([] { kill(getpid(), SIGSEGV); }) == 0 ? 43 : 42), died,
              kSanitized ? "SEGV" : "");
}

}  // namespace
}  // namespace forgeval
