#include "stress/fft_test.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "fft_oracle.h"
#include "report/failure_flag.h"
#include "stress/worker_frame.h"
#include "worker_console.h"

namespace forgeval {
namespace {

using FftWorkerTest = testing::WorkerConsoleTest;

constexpr int64_t kShortRun = 60;

void ShortRun(int index) { RunFftTest(index, kShortRun); }

TEST_F(FftWorkerTest, EqualSumsEndWithTheDoneLineWithoutStarting) {
  EXPECT_EQ(Run(&ShortRun, 4), kWorkerCompleted);
  EXPECT_EQ(console_,
            "Thread 4 : Starting Fast Fourier Transform test...\n"
            "Thread 4 : Fast Fourier Transform test...[Done]\n");
  EXPECT_FALSE(FailureFlagRaised());
}

double g_sum0 = 0;
double g_sum1 = 0;
void Remember(double& sum0, double& sum1) {
  sum1 = std::nextafter(sum1, 0.0);  // one bit apart
  g_sum0 = sum0;
  g_sum1 = sum1;
}
void UnequalSums(int index) { RunFftTest(index, kShortRun, &Remember); }

TEST_F(FftWorkerTest, UnequalSumsTakeTheErrorPathWithBothSums) {
  EXPECT_EQ(Run(&UnequalSums, 1), kWorkerFailed);
  EXPECT_TRUE(FailureFlagRaised());
  char sums[200];
  snprintf(sums, sizeof sums, "( %f != %f)", g_sum0, g_sum1);
  EXPECT_EQ(console_,
            "Thread 1 : Starting Fast Fourier Transform test...\n"
            "[*** ERROR Thread 1 : Fast Fourier Transform results are inconsistent" +
                std::string(sums) + " ***]\n");
  EXPECT_EQ(console_.find("[Done]"), std::string::npos);
}

void NotANumber(double& sum0, double&) { sum0 = std::numeric_limits<double>::quiet_NaN(); }
void NanSum(int index) { RunFftTest(index, 5, &NotANumber); }

TEST_F(FftWorkerTest, ANaNSumIsADifference) {
  EXPECT_EQ(Run(&NanSum, 0), kWorkerFailed);
  EXPECT_NE(console_.find("inconsistent( nan != "), std::string::npos) << console_;
}

TEST(FftTextTest, SumsAreShownWithSixDecimals) {
  EXPECT_EQ(FftInconsistencyText(2, -123.5, 7.0),
            "[*** ERROR Thread 2 : Fast Fourier Transform results are inconsistent( "
            "-123.500000 != 7.000000) ***]");
  // The largest double in "%f" is 309 digits before the point: the text is not cut.
  const std::string huge = FftInconsistencyText(0, 1e308, -1e308);
  EXPECT_TRUE(huge.ends_with(".000000) ***]")) << huge;
}

TEST(FftRunTest, ARunIsThePlainFormsSumToTheBit) {
  FftState state;
  testing::OracleFft oracle;
  for (int64_t last : {1, 2, 3, 4, 500}) {
    const double sum = FftRun(state, last);
    const double want = oracle.Run(last);
    EXPECT_EQ(std::bit_cast<uint64_t>(sum), std::bit_cast<uint64_t>(want)) << last;
  }
}

TEST(FftRunTest, TwoRunsFromScratchGiveTheSameSum) {
  FftState state;
  const double first = FftRun(state, 700);
  const double second = FftRun(state, 700);
  EXPECT_EQ(std::bit_cast<uint64_t>(first), std::bit_cast<uint64_t>(second));
}

// The whole test's run, against the plain form: minutes of scalar arithmetic (soak only).
TEST(FftSoakTest, TheFullRunIsThePlainFormsSumToTheBit) {
  FftState state;
  testing::OracleFft oracle;
  const double sum = FftRun(state, kFftLongestLength);
  const double want = oracle.Run(kFftLongestLength);
  EXPECT_EQ(std::bit_cast<uint64_t>(sum), std::bit_cast<uint64_t>(want)) << sum << " vs " << want;
  printf("Sum of the figures of lengths 1..9999: %.17g\n", sum);
}

}  // namespace
}  // namespace forgeval
