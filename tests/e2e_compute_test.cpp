// End-to-end runs of the real forgeval binary with the sort, complex matrix and fast Fourier
// transform tests switched on, as an operator would run them: the exact console and log
// lines of every worker, the verdict, and errors that leave the run going.
#include <gtest/gtest.h>

#include "program_fixture.h"
#include "text_match.h"

namespace forgeval::testing {
namespace {

// Every test off; a case switches on what it runs.
const std::string kOthersOff = "[Memory]\nEnabled=0\n[Cache]\nEnabled=0\n[Disk]\nEnabled=0\n";

class ComputeEndToEndTest : public ProgramTest {
 protected:
  // Workers 0 and 1 each showed exactly `steps`, in order, on the console and in the log.
  void ExpectStepsOfTwoWorkers(const ProcessResult& result, const std::vector<std::string>& steps);
};

// The lines in `text` that begin with "Thread <index> : ", in order, without the prefix.
std::vector<std::string> WorkerLines(const std::string& text, int index) {
  const std::string prefix = "Thread " + std::to_string(index) + " : ";
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
    start = end + 1;
  }
  return lines;
}

void ComputeEndToEndTest::ExpectStepsOfTwoWorkers(const ProcessResult& result,
                                                  const std::vector<std::string>& steps) {
  const std::string log = testing::ReplaceAll(Log(), kStamp + " : ", "");
  for (int index : {0, 1}) {
    EXPECT_EQ(WorkerLines(result.output, index), steps) << result.output;
    EXPECT_EQ(WorkerLines(log, index), steps) << log;
  }
}

const std::vector<std::string> kSortSteps = {
    "Starting Quick Sort test...", "Starting Quick Sort test...[Done]",
    "Starting Shell Sort test...", "Starting Shell Sort test...[Done]",
    "Starting Merge Sort test...", "Starting Merge Sort test...[Done]",
    "Starting Heap Sort test...",  "Starting Heap Sort test...[Done]"};

TEST_F(ComputeEndToEndTest, SortTestsPassOnTwoProcessors) {
  ProcessResult result = Run("[Main]\nLoop=2\n" + kOthersOff +
                             "[FFT]\nEnabled=0\n[Matrix]\nEnabled=0\n"
                             "[SortAlgorithms]\nCPU=0,1\nArraySize=30000\n");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(result.output.ends_with(kPassed)) << result.output;
  std::vector<std::string> two_passes = kSortSteps;
  two_passes.insert(two_passes.end(), kSortSteps.begin(), kSortSteps.end());
  ExpectStepsOfTwoWorkers(result, two_passes);
}

TEST_F(ComputeEndToEndTest, AnArraySizeBeyondASigned32BitCountFailsAndTheRunGoesOn) {
  ProcessResult result = Run("[Main]\nLoop=2\n" + kOthersOff +
                             "[FFT]\nEnabled=0\n[Matrix]\nEnabled=0\n"
                             "[SortAlgorithms]\nCPU=0\nArraySize=3000000000\n");
  EXPECT_EQ(result.exit_code, 1);
  const std::string error =
      "[*** ERROR Thread 0 : Sort ArraySize 3000000000 is out of range (0 to 2147483647) ***]";
  const std::string one_pass = "Thread 0 : Starting Quick Sort test...\n" + error + "\n";
  EXPECT_NE(result.output.find("--- Loop 1 of 2 ---\n" + one_pass + "--- Loop 2 of 2 ---\n" +
                               one_pass + kFailed),
            std::string::npos)
      << result.output;
  EXPECT_TRUE(testing::Contains(Log(), kStamp + R"( : \[\*\*\* ERROR Thread 0 : Sort )"
                                                R"(ArraySize 3000000000 is out of range)"))
      << Log();
}

TEST_F(ComputeEndToEndTest, ArraysTheMachineCannotGiveAreOutOfMemoryAndTheRunGoesOn) {
  // Under a 1 GiB address-space limit, one array of 200,000,000 elements (1.6 GB) cannot be
  // had; the second pass meets the same.
  ProcessOptions limited;
  limited.address_space_limit = uint64_t{1} << 30;
  ProcessResult result = Run("[Main]\nLoop=2\n" + kOthersOff +
                                 "[FFT]\nEnabled=0\n[Matrix]\nEnabled=0\n"
                                 "[SortAlgorithms]\nCPU=0\nArraySize=200000000\n",
                             {}, limited);
  EXPECT_EQ(result.exit_code, 1) << result.output << result.errors;
  const std::string one_pass = "Thread 0 : Starting Quick Sort test...\nOut of memory.\n";
  EXPECT_NE(result.output.find("--- Loop 1 of 2 ---\n" + one_pass + "--- Loop 2 of 2 ---\n" +
                               one_pass + kFailed),
            std::string::npos)
      << result.output;
}

const std::vector<std::string> kMatrixSteps = {"Starting Complex Matrix test...",
                                               "Verifying Complex Matrix...",
                                               "Verifying Complex Matrix...[Done]"};

// The matrix test has no size of its own: this is the program's full test, seconds long.
TEST_F(ComputeEndToEndTest, MatrixTestPassesOnTwoProcessors) {
  ProcessResult result = Run("[Main]\nLoop=1\n" + kOthersOff +
                             "[SortAlgorithms]\nEnabled=0\n[FFT]\nEnabled=0\n[Matrix]\nCPU=0,1\n");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(result.output.ends_with(kPassed)) << result.output;
  ExpectStepsOfTwoWorkers(result, kMatrixSteps);
}

// Both tests at the program's own size on both processors: tens of seconds of arithmetic per
// worker on an idle machine, minutes on a busy one (soak).
TEST_F(ComputeEndToEndTest, SoakFullSizeFftAndMatrixTestsPass) {
  ProcessResult result = Run("[Main]\nLoop=1\n" + kOthersOff +
                             "[SortAlgorithms]\nEnabled=0\n[FFT]\nCPU=0,1\n[Matrix]\nCPU=0,1\n");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(result.output.ends_with(kPassed)) << result.output;
  std::vector<std::string> steps = {"Starting Fast Fourier Transform test...",
                                    "Fast Fourier Transform test...[Done]"};
  steps.insert(steps.end(), kMatrixSteps.begin(), kMatrixSteps.end());
  ExpectStepsOfTwoWorkers(result, steps);
}

}  // namespace
}  // namespace forgeval::testing
