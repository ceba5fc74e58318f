// End-to-end runs of the real program and of the fault probe (the program with worker bodies
// that fault or fail on purpose), each in a folder of the test's own with a configuration
// written for the case: the whole console, log, run record, system log and crash report.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <map>

#include "program_fixture.h"

namespace forgeval::testing {
namespace {

const std::string kAllOff =
    "[Memory]\nEnabled=0\n[Cache]\nEnabled=false\n[FFT]\nEnabled=no\n"
    "[SortAlgorithms]\nEnabled=off\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n";
const std::string kPassed = "\nAll tests passed successfully.\n";
const std::string kFailed = "\nError: Some of the tests failed.\n";
const std::string kAv = "Exception ACCESS_VIOLATION (0xc0000005) at address ADDR.\n";
const std::string kVerdictFailed = R"("Error: Some of the tests failed.")";

// Each step of `steps` and its "[Done]", shown by `worker`.
std::string Steps(int worker, std::vector<std::string> steps) {
  std::string text;
  const std::string thread = "Thread " + std::to_string(worker) + " : ";
  for (const std::string& step : steps) text += thread + step + "\n" + thread + step + "[Done]\n";
  return text;
}
std::string Unknown(int line, const std::string& section) {
  return "Warning: ./forgeval.ini line " + std::to_string(line) + ": unknown section [" + section +
         "]\n";
}
std::vector<std::string> Probe(std::vector<std::string> bodies) {
  bodies.insert(bodies.begin(), {"probe", "./forgeval.ini"});
  return bodies;
}
// A worker_end record, normalized; `error` is empty for a passed worker.
std::string End(const std::string& test, int pass, int worker, int processor,
                const std::string& error, const std::string& figures = "{}") {
  return R"({"record":"worker_end","test":")" + test + R"(","pass":)" + std::to_string(pass) +
         R"(,"worker":)" + std::to_string(worker) + R"(,"processor":)" + std::to_string(processor) +
         (error.empty()
              ? R"(,"status":"passed","error":null)"
              : R"(,"status":"failed","error":")" + error.substr(0, error.size() - 1) + "\"") +
         R"(,"seconds":S,"figures":)" + figures + "}\n";
}
std::string RunEnd(const std::string& verdict, int exit_code, bool interrupted = false) {
  return R"({"record":"run_end","verdict":)" + verdict + R"(,"exit_code":)" +
         std::to_string(exit_code) + R"(,"seconds":S,"interrupted":)" +
         (interrupted ? "true" : "false") + "}\n";
}
const std::string kRunStart =
    R"({"record":"run_start","version":"1.3",SYSTEM,"configuration":"./forgeval.ini"})"
    "\n";
// One crash report (ERRORLOG.TXT) whole, as a pattern; `location` is its line on the address
// that could not be accessed, if any.
std::string ReportPattern(const std::string& program, const std::string& location) {
  const std::string module =
      R"(Image Base: 0x[0-9a-f]{8,}  Image Size: 0x[0-9a-f]{8,}\r\nChecksum:   0x[0-9a-f]{8}  )"
      R"(Time Stamp: 0x[0-9a-f]{8,}\r\nFile Size:  \d+ *  File Time:  .*\r\nVersion )"
      R"(Information:\r\n   Company:    \r\n   Product:    \r\n   FileDesc:   .*\r\n   )"
      R"(FileVer:    \d+\.\d+\.\d+\.\d+\r\n   ProdVer:    \d+\.\d+\.\d+\.\d+\r\n\r\n)";
  return R"(\r\nException handler called in SeException\.\r\n)" + Escaped(location) +
         R"(Error occurred at \d{1,2}/\d{1,2}/\d{4} \d\d:\d\d:\d[02468]\.\r\n)" + Escaped(program) +
         R"(, run by .+\r\nOperating system:  .+ \(.+\)\.\r\n[1-9]\d* processor\(s\), type 8664\.)"
         R"(\r\n\d{1,3}% memory in use\.\r\n[1-9]\d* MBytes physical memory\.\r\n\d+ MBytes )"
         R"(physical memory free\.\r\n\d+ MBytes paging file\.\r\n\d+ MBytes paging file free\.)"
         R"(\r\n134217728 MBytes user address space\.\r\n1342\d{5} MBytes user address space )"
         R"(free\.\r\nModule 1\r\n)" +
         Escaped(program) + "\\r\\n" + module + R"((Module \d+\r\n.+\r\n)" + module +
         R"(){4,}\r\n======================= \[end of ERRORLOG\.TXT\] =======================\r\n)";
}

struct Case {
  const char* name;
  std::string ini;
  std::string lines;  // after the banner, as ConsoleOf and LogOf take them
  int exit_code = 0;  // -1: ended by SIGSEGV
  std::vector<std::string> argv = {"forgeval"};
  std::string records;               // not looked at when empty
  std::string report = "-";          // the crash report's access line; "-": no report
  std::string log = "forgeval.Log";  // "": none written
  ProcessOptions options = {};
};

// Loop counts, warnings, where the log goes, every test passing and failing, every kind of
// processor fault in a worker and in the driver: catches a wrong verdict or exit code, a pass
// too many or too few, a lost header, footer, stamp, system-log entry, record or crash report,
// and every changed console text.
TEST_F(ProgramTest, RunsShowTheirWholeConsoleLogRecordSystemLogAndCrashReport) {
  mkdir(dir_.File("logs").c_str(), 0555);
  TempDir elsewhere;  // a current folder that is not the program's
  WriteFile(dir_.File("other.ini"), "[Main]\nLoop=2\nLogFile=other.Log\n" + kAllOff);
  const std::string memory = "Thread 0 : Allocating 8MB Memory for testing...\n" +
                             Steps(0, {"Testing Memory Address & Data bus...",
                                       "Testing DRAM Arrays...", "De-allocating 8MB Memory..."});
  const std::string cache = Steps(0, {"Testing L1 Cache...", "Testing L2 Cache..."});
  auto sort_and_matrix = [](int n) {  // in worker order, see Normalized
    return Steps(n, {"Starting Quick Sort test...", "Starting Shell Sort test...",
                     "Starting Merge Sort test...", "Starting Heap Sort test..."}) +
           "Thread " + std::to_string(n) + " : Starting Complex Matrix test...\n" +
           Steps(n, {"Verifying Complex Matrix..."});
  };
  auto no_memory = [](int n) {
    const std::string thread = "Thread " + std::to_string(n) + " : ";
    return thread + "Allocating 2000000000MB Memory for testing...\n[***ERROR: " + thread +
           "Allocating Memory at 0000000000000000 ***]\n";
  };
  const std::string errors =
      no_memory(0) + cache +
      "Thread 0 : Starting Quick Sort test...\n[*** ERROR Thread 0 : Sort ArraySize 3000000000 is "
      "out of range (0 to 2147483647) ***]\n" +
      no_memory(1);
  auto figures = [](const std::string& test, int n, const std::string& list) {
    return End(test, 1, n, n, "", list);
  };
  const std::string sorts =
      R"({"elements":30000,"quick_sort_seconds":S,"shell_sort_seconds":S,"merge_sort_seconds":S,)"
      R"("heap_sort_seconds":S})";
  // The determinant of the matrix test's 12 x 12 matrix, exact in 64-bit arithmetic.
  const std::string matrix = R"({"order":12,"element_0_0":-8669097599543803904})";
  std::string null_reads;
  for (int pass : {1, 2})
    null_reads += End("NullRead", pass, 0, 0, kAv) + End("NullRead", pass, 1, 1, kAv) +
                  End("Pass", pass, 0, 0, "");
  const std::string overflow = "Exception STACK_OVERFLOW (0xc00000fd) at address ADDR.\n";
  const std::string divide = "Exception INT_DIVIDE_BY_ZERO (0xc0000094) at address ADDR.\n";
  const std::string illegal = "Exception ILLEGAL_INSTRUCTION (0xc000001d) at address ADDR.\n";
  const std::string bad_cell =
      "[***ERROR Thread 1 : Occured DRAM array test at address ADDR ***]\n";
  const std::string transform =
      "Starting Fast Fourier Transform test...\nThread 0 : Fast Fourier Transform test...[Done]\n";
  const std::string passing = Steps(0, {"Passing..."});
  const std::string read_null = "Read from location 00000000 caused an access violation.\r\n";
  Case cases[] = {
      {"no log folder",
       "[Main]\nLoop=1\nLogFile=logs/run.Log\nResultFile=\n" + kAllOff,
       "--- Loop 1 of 1 ---\n" + kPassed,
       0,
       {"forgeval"},
       "",
       "-",
       "",
       {.unprivileged = true}},
      {"empty log name",
       "[Main]\nLoop=1\nLogFile=\n" + kAllOff,
       "--- Loop 1 of 1 ---\n" + kPassed,
       0,
       {"forgeval"},
       "",
       "-",
       ""},
      {"three passes", "[Main]\nLoop=3\n" + kAllOff,
       "--- Loop 1 of 3 ---\n--- Loop 2 of 3 ---\n--- Loop 3 of 3 ---\n" + kPassed},
      {"warnings", "[Main]\nLoop=none\n" + kAllOff + "[Cache]\nEnable=false\n",
       "Warning: ./forgeval.ini line 2: [Main] Loop=none is read as 0\nWarning: ./forgeval.ini "
       "line 16: unknown key \"Enable\" in section [Cache]\n" +
           kPassed},
      {"-1", "[Main]\nLoop=-1\n" + kAllOff,
       "Warning: ./forgeval.ini line 2: [Main] Loop=-1 is read as 4294967295\n" + kPassed},
      {"2^31", "[Main]\nLoop=2147483648\n" + kAllOff, kPassed},
      {"0, appended", "[Main]\nLoop=0\n" + kAllOff, kPassed},
      {"29 characters",
       "[Main]\nLoop=1\nLogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log\n" + kAllOff,
       "Warning: ./forgeval.ini line 3: [Main] LogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log is "
       "cut to its first 29 characters: \"abcdefghijklmnopqrstuvwxyz012\"\n--- Loop 1 of 1 ---\n" +
           kPassed,
       0,
       {"forgeval"},
       "",
       "-",
       "abcdefghijklmnopqrstuvwxyz012"},
      {"the first argument",
       "",
       "--- Loop 1 of 2 ---\n--- Loop 2 of 2 ---\n" + kPassed,
       0,
       {"forgeval", dir_.File("other.ini"), "ignored"},
       "",
       "-",
       "other.Log",
       {.working_dir = elsewhere.path()}},
      {"all pass",
       "[Main]\nLoop=1\n[Memory]\nCPU=0\nMemSize=8\n[Cache]\nCPU=0\n[FFT]\nEnabled=0\n"
       "[SortAlgorithms]\nCPU=0,1\nArraySize=30000\n[Matrix]\nCPU=0,1\n[Disk]\nEnabled=0\n",
       "--- Loop 1 of 1 ---\n" + memory + cache + sort_and_matrix(0) + sort_and_matrix(1) + kPassed,
       0,
       {"forgeval"},
       kRunStart +
           figures("Memory", 0, R"({"megabytes":8,"bytes_checked":2113536000,"gb_per_s":S})") +
           figures("Cache", 0, R"({"bytes_checked":12683566080,"gb_per_s":S})") +
           figures("SortAlgorithms", 0, sorts) + figures("SortAlgorithms", 1, sorts) +
           figures("Matrix", 0, matrix) + figures("Matrix", 1, matrix) +
           RunEnd(R"("All tests passed successfully.")", 0)},
      {"errors",
       "[Main]\nLoop=2\n[Memory]\nCPU=0,1\nMemSize=2000000000\n[Cache]\nCPU=0\n[FFT]\nEnabled=0\n"
       "[SortAlgorithms]\nCPU=0\nArraySize=3000000000\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n",
       "--- Loop 1 of 2 ---\n" + errors + "--- Loop 2 of 2 ---\n" + errors + kFailed, 1},
      {"out of memory",
       "[Main]\nLoop=1\n[Memory]\nEnabled=0\n[Cache]\nEnabled=0\n[FFT]\nEnabled=0\n[Matrix]\n"
       "Enabled=0\n[Disk]\nEnabled=0\n[SortAlgorithms]\nCPU=0\nArraySize=200000000\n",
       "--- Loop 1 of 1 ---\nThread 0 : Starting Quick Sort test...\nOut of memory.\n" + kFailed,
       1,
       {"forgeval"},
       "",
       "-",
       "forgeval.Log",
       {.address_space_limit = 1ull << 30}},
      {"untranslated fault", "[UntranslatedFault]\nCPU=0\n",
       Unknown(1, "UntranslatedFault") + "--- Loop 1 of 1 ---\n", -1, Probe({"UntranslatedFault"}),
       kRunStart},
      {"other faults",
       "[StackOverflow]\nCPU=1\n[DivideByZero]\nCPU=0\n[IllegalInstruction]\nCPU=1\n"
       "[SmallTransform]\nCPU=0\n[Memory]\nCPU=0,1\nMemSize=8\n",
       Unknown(1, "StackOverflow") + Unknown(3, "DivideByZero") + Unknown(5, "IllegalInstruction") +
           Unknown(7, "SmallTransform") + "--- Loop 1 of 1 ---\n" + overflow + divide + illegal +
           "Thread 0 : " + transform + memory +
           "Thread 1 : Allocating 8MB Memory for testing...\n" +
           Steps(1, {"Testing Memory Address & Data bus..."}) +
           "Thread 1 : Testing DRAM Arrays...\n" + bad_cell + kFailed,
       1,
       Probe({"StackOverflow", "DivideByZero", "IllegalInstruction", "SmallTransform",
              "MemoryWithBadCell"}),
       kRunStart + End("StackOverflow", 1, 0, 1, overflow) + End("DivideByZero", 1, 0, 0, divide) +
           End("IllegalInstruction", 1, 0, 1, illegal) +
           // Bit-exact: the same binary gives these sums on every machine.
           End("SmallTransform", 1, 0, 0, "",
               R"({"last_length":48,"sum_0":"92.572854099444157","sum_0_bits":"405724a9a43d9f80",)"
               R"("sum_1":"92.572854099444157","sum_1_bits":"405724a9a43d9f80"})") +
           figures("Memory", 0, R"({"megabytes":8,"bytes_checked":2113536000,"gb_per_s":S})") +
           End("Memory", 1, 1, 1, bad_cell) + RunEnd(kVerdictFailed, 1),
       ""},
      {"driver fault", "[Main]\nLoop=1\n", "--- Loop 1 of 1 ---\n" + kAv, 255,
       Probe({"DriverFault"}), kRunStart + RunEnd("null", 255),
       "Read from location 00000010 caused an access violation.\r\n"},
      {"worker faults", "[Main]\nLoop=2\n[NullRead]\nCPU=0,1\n[Pass]\nCPU=0\n",
       Unknown(3, "NullRead") + Unknown(5, "Pass") + "--- Loop 1 of 2 ---\n" + kAv + kAv + passing +
           "--- Loop 2 of 2 ---\n" + kAv + kAv + passing + kFailed,
       1, Probe({"NullRead", "Pass"}), kRunStart + null_reads + RunEnd(kVerdictFailed, 1),
       read_null},
  };
  std::map<std::string, std::string> logs;  // every run appends to its log
  std::string report;
  std::string dump;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.File("forgeval.results.jsonl"));
    ProcessResult result = Run(c.ini, c.argv, c.options);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.signal, c.exit_code < 0 ? SIGSEGV : 0);
    EXPECT_EQ(Normalized(result.output), ConsoleOf(c.lines));
    const bool closed = c.exit_code == 0 || c.exit_code == 1;
    EXPECT_EQ(Normalized(Read(c.log)), c.log.empty() ? "" : logs[c.log] += LogOf(c.lines, closed));
    EXPECT_EQ(Datagrams(), ErrorsOf(c.lines));
    EXPECT_EQ(c.records.empty() ? "" : Normalized(Read("forgeval.results.jsonl")), c.records);
    // The first processor fault of a run appends one report and replaces the dump.
    const std::string new_report = Read("ERRORLOG.TXT");
    const std::string new_dump = Read("CRASH.DMP");
    const bool reported = c.report != "-";
    EXPECT_EQ(result.errors, reported ? "writing minidump\r\n" : "");
    ASSERT_TRUE(new_report.starts_with(report));
    EXPECT_EQ(reported, FullMatch(new_report.substr(report.size()),
                                  ReportPattern(dir_.File(c.argv[0]), c.report)))
        << new_report.substr(report.size());
    EXPECT_EQ(reported, new_dump != dump && new_dump.starts_with("\x7f"
                                                                 "ELF"));
    report = new_report;
    dump = new_dump;
  }
  EXPECT_FALSE(FileExists(elsewhere.File("other.Log")));
  EXPECT_FALSE(FileExists(dir_.File("logs/run.Log")));
  EXPECT_FALSE(FileExists(dir_.File("abcdefghijklmnopqrstuvwxyz0123456789.Log")));
  // gdb opens the dump of the last run at the faulting function, with its callers.
  const ProcessResult bt = RunProcess(
      {"/usr/bin/gdb", "-batch", "-nx", "-ex", "bt", dir_.File("probe"), dir_.File("CRASH.DMP")},
      {});
  EXPECT_TRUE(Contains(bt.output, R"(signal SIGSEGV[^]*\n#0 +0x[0-9a-f]+ in FaultNullRead \(\))"
                                  R"([^]*RunTestWorker[^]*start_thread)"))
      << bt.output;
}

}  // namespace
}  // namespace forgeval::testing
