// End-to-end runs of the real program and of the fault probe (the program with worker bodies
// that fault or fail on purpose, tests/support/fault_probe.cpp), each copied into a folder of
// the test's own with a configuration written for the case, as an operator starts them: the
// whole console, log, run record, system log and crash report of every run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "loop_mount.h"
#include "platform/cache_sizes.h"
#include "platform/disk_io.h"
#include "run_process.h"
#include "syslog_listener.h"
#include "temp_dir.h"
#include "text_match.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // tables name what matters

namespace forgeval::testing {
namespace {

const std::string kStamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)";  // of a log line
const std::string kBanner = "Forgeval 1.3\n" + std::string(66, '-') + "\n";
// The start line of a run whose health roots are empty folders (ProgramTest's default).
const std::string kNoSources =
    "Hardware error sources: none; unavailable: memory ECC, machine-check counters, kernel log, "
    "PCIe AER, SMART (no smartctl), temperatures, throttle counters, processor frequencies";
const std::string kUnavailable =
    R"j("machine-check counters","kernel log","PCIe AER","SMART (no smartctl)","temperatures",)j"
    R"("throttle counters","processor frequencies"])";
const std::string kAllOff =
    "[Memory]\nEnabled=0\n[Cache]\nEnabled=false\n[FFT]\nEnabled=no\n"
    "[SortAlgorithms]\nEnabled=off\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n";
// Every test off but `section`.
std::string Off(const std::string& section) {
  return ReplaceAll(kAllOff, "\\[" + section + "\\]\nEnabled=\\w+\n", "");
}
const std::string kPassed = "\nAll tests passed successfully.\n";
const std::string kAllDisabled = "Nothing was tested: every test is disabled\n";
const std::string kFailed = "\nError: Some of the tests failed.\n";
const std::string kAv = "Exception ACCESS_VIOLATION (0xc0000005) at address ADDR.\n";
const std::string kRunStart =
    R"({"record":"run_start","version":"1.3",SYSTEM,"configuration":"./forgeval.ini",)"
    R"("health_sources":{"found":[],"unavailable":["memory ECC",)" +
    kUnavailable + "}}\n";

// `text` with what differs between runs replaced: log stamps by "@", fault and bad-cell
// addresses by "ADDR", the run record's times and run names dropped, its system facts by
// "SYSTEM", durations and rates (which must be above 0) by "S", the transform's code path by
// "PATH"; and the lines of the workers of one test, which interleave at random, put in worker
// order.
std::string Normalized(const std::string& text) {
  // On a terminal: lines end in CR LF, and the live status is drawn and cleared between them.
  std::string t =
      ReplaceAll(ReplaceAll(text, "\r\033\\[K(\\[Loop [^\\]]*\\])?|\\^C", ""), "\r\n", "\n");
  t = ReplaceAll(t, kStamp, "@");
  t = ReplaceAll(t, "address (0x)?[0-9a-fA-F]{8,16}", "address ADDR");
  t = ReplaceAll(t, R"re("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","run":"\d+-\d+",)re", "");
  t = ReplaceAll(t,
                 R"re("host":"[^"]+","kernel":"[^"]+","processor_model":("[^"]+"|null),)re"
                 R"re("processors_usable":[1-9]\d*,"memory_bytes":[1-9]\d*)re",
                 "SYSTEM");
  t = ReplaceAll(t, R"re((seconds|_per_s)":(0\.0*[1-9]|[1-9])[0-9.e+-]*)re", "$1\":S");
  t = ReplaceAll(
      t, R"re("transform_kernel":"(scalar|avx2|avx512)","math_library":"(fma4?|sse2)")re", "PATH");
  t = ReplaceAll(t, R"((\d)\.\d GB free)", "$1.# GB free");  // the tenths of a drive's room
  std::vector<std::pair<char, std::string>> lines;           // (worker digit or 0, line)
  std::istringstream in(t);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("Thread ");
    lines.emplace_back(at == std::string::npos ? 0 : line[at + 7], line + "\n");
  }
  for (auto run = lines.begin(); run != lines.end();) {
    run = std::find_if(run, lines.end(), [](const auto& line) { return line.first != 0; });
    auto end = std::find_if(run, lines.end(), [](const auto& line) { return line.first == 0; });
    std::stable_sort(run, end, [](const auto& a, const auto& b) { return a.first < b.first; });
    run = end;
  }
  t.clear();
  for (const auto& line : lines) t += line.second;
  return t;
}

// What a run that showed `lines` (after the banner; a line that begins with "~" goes to the
// log only) writes on the console, in the log (with its footer when `closed`) and, for its
// errors, to the system log; normalized.
std::string ConsoleOf(const std::string& lines, const std::string& sources = kNoSources) {
  return kBanner + sources + "\n" + ReplaceAll(lines, "(^|\n)~[^\n]*", "");
}
std::string LogOf(const std::string& lines, bool closed, const std::string& sources = kNoSources) {
  std::string log =
      "Forgeval 1.3\n" + std::string(51, '-') + "\n\nStarted at:\t@\n\n@ : " + sources + "\n";
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("~")) line.erase(0, 1);
    if (line.starts_with("--- Loop")) log += "\n";
    log += line.empty() ? "\n" : ReplaceAll(line, "^(Thread \\d+ : )?", "$1@ : ") + "\n";
  }
  return log + (closed ? "\nClosed at:\t@\n" + std::string(41, '-') + "\n\n" : "");
}
std::string ErrorsOf(const std::string& lines) {
  std::string errors;
  for (const auto& found :
       AllMatchGroups(lines, R"((^|\n)(\[\*\*\*[^\n]*|Exception [^\n]*|Out of memory\.))"))
    errors += found[1] + "\n";
  return Normalized(errors);
}

// Each step and its "[Done]", shown by `worker`.
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
  const std::string status =
      error.empty() ? R"("passed","error":null)"
      : error == "interrupted" || error == "time_up"
          ? R"(")" + error + R"(","error":null)"
          : R"("failed","error":")" + error.substr(0, error.size() - 1) + "\"";
  return R"({"record":"worker_end","test":")" + test + R"(","pass":)" + std::to_string(pass) +
         R"(,"worker":)" + std::to_string(worker) + R"(,"processor":)" + std::to_string(processor) +
         R"(,"status":)" + status + R"(,"seconds":S,"figures":)" + figures + "}\n";
}
// The health summary of a run without health sources; a fault in the driver ends the run
// before the summary.
const std::string kNoHealth =
    R"({"events":0,"failing_events":0,"corrected_memory_errors":null,"uncorrected_memory_errors":null,)"
    R"("highest_temperature_c":null,"throttle_count":null,"frequency_mhz":null,"smart":null})";
std::string RunEnd(const std::string& verdict, int exit_code, bool interrupted = false,
                   const std::string& ended_by = "passes", bool tested = true,
                   const std::string& health = kNoHealth) {
  return R"({"record":"run_end","verdict":)" + verdict + R"(,"exit_code":)" +
         std::to_string(exit_code) + R"(,"seconds":S,"interrupted":)" +
         (interrupted ? "true" : "false") + R"(,"ended_by":")" +
         (interrupted        ? "interrupt"
          : exit_code == 255 ? "fault"
                             : ended_by) +
         R"(","tested":)" + (tested ? "true" : "false") + R"(,"syslog_dropped":0)" +
         (exit_code == 255 ? "" : R"(,"health":)" + health) + "}\n";
}
// The cache worker's figures on processor 0 of this machine: each phase's buffer is its fixed
// size, or three quarters of the cache it names when it does not fit there.
std::string CacheFigures() {
  std::string figures = "{";
  uint64_t checked = 0;
  for (const auto& [level, fixed] : {std::pair{1, uint64_t{91750}}, {2, uint64_t{734003}}}) {
    const std::optional<uint64_t> cache = platform::DataCacheBytes(0, level);
    const uint64_t size = cache && *cache < fixed ? *cache / 4 * 3 : fixed;
    const std::string l = "\"l" + std::to_string(level);
    figures += l + "_buffer_bytes\":" + std::to_string(size) + "," + l + "_buffer_from\":\"" +
               (size == fixed ? "fixed" : "cache") + "\"," +
               (cache ? l + "_cache_bytes\":" + std::to_string(*cache) + "," : "");
    checked += 256 * 60 * size;
  }
  return figures + "\"bytes_checked\":" + std::to_string(checked) + ",\"gb_per_s\":S}";
}
// One crash report (ERRORLOG.TXT) whole, as a pattern; `location` is its line on the address
// that could not be accessed, if any. The unit tests pin each line's format.
std::string ReportPattern(const std::string& program, const std::string& location) {
  return R"(\r\nException handler called in SeException\.\r\n)" + Escaped(location) +
         R"(Error occurred at \d{1,2}/\d{1,2}/\d{4} \d\d:\d\d:\d[02468]\.\r\n)" + Escaped(program) +
         R"(, run by .+\r\nOperating system:  .+ \(.+\)\.\r\n[1-9]\d* processor\(s\), type 8664\.)"
         R"(\r\n\d{1,3}% memory in use\.\r\n[1-9]\d* MBytes physical memory\.\r\n\d+ MBytes )"
         R"(physical memory free\.\r\n\d+ MBytes paging file\.\r\n\d+ MBytes paging file free\.)"
         R"(\r\n134217728 MBytes user address space\.\r\n1342\d{5} MBytes user address space )"
         R"(free\.\r\nModule 1\r\n)" +
         Escaped(program) + R"(\r\nImage Base: [^]*\r\n\r\nMemory dump written to )" +
         Escaped(program.substr(0, program.rfind('/') + 1) + "CRASH.DMP") +
         R"(\.\r\n\r\n======================= \[end of ERRORLOG\.TXT\] =======================\r\n)";
}
// True once `condition` holds, polled every 10 ms; false after a minute.
bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 6000 && !condition(); ++i) usleep(10000);
  return condition();
}
// The test's files in a folder: the probe file and the m- and n-files.
std::vector<std::string> TestFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (FullMatch(name, R"(~temp\.tmp|[mn][A-Za-z0-9]{6}\.TMP)")) names.push_back(name);
  }
  return names;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(FORGEVAL_BINARY, dir_.File("forgeval"));
    std::filesystem::copy_file(FORGEVAL_FAULT_PROBE, dir_.File("probe"));
    std::filesystem::create_directory(drive_);
  }
  // Writes `ini` as forgeval.ini and starts argv in the folder ("forgeval" or "probe" as
  // argv[0] name the copies, an absolute argv[0] a program such as a shell), with the test's
  // system-log listener.
  std::unique_ptr<RunningProcess> Start(const std::string& ini,
                                        std::vector<std::string> argv = {"forgeval"},
                                        ProcessOptions options = {}) {
    WriteFile(dir_.File("forgeval.ini"), ini);
    if (!argv[0].starts_with("/")) argv[0] = dir_.File(argv[0]);
    if (options.working_dir.empty()) options.working_dir = dir_.path();
    options.environment.emplace_back("FORGEVAL_SYSLOG_SOCKET", listener_.path());
    // Health roots that hold nothing, unless the case names its own (set later, so they win).
    options.environment.insert(options.environment.begin(),
                               {{"FORGEVAL_SYS_ROOT", dir_.File("nosys")},
                                {"FORGEVAL_PROC_ROOT", dir_.File("noproc")},
                                {"FORGEVAL_KMSG", dir_.File("nokmsg")},
                                {"FORGEVAL_SMARTCTL", dir_.File("nosmartctl")}});
    return std::make_unique<RunningProcess>(argv, options);
  }
  ProcessResult Run(const std::string& ini, std::vector<std::string> argv = {"forgeval"},
                    ProcessOptions options = {}) {
    return Start(ini, std::move(argv), std::move(options))->Wait();
  }
  std::string Read(const std::string& name) const { return ReadFile(dir_.File(name)); }
  // The texts that reached the system log since the last call, normalized.
  std::string Datagrams() {
    std::string texts;
    for (const std::string& datagram : listener_.Drain(0))
      texts += ReplaceAll(datagram, R"(^<11>\w{3} [ \d]\d \d\d:\d\d:\d\d Forgeval\[\d+\]: )", "");
    return Normalized(texts);
  }

  TempDir dir_;
  SyslogListener listener_{dir_.File("log.sock")};
  std::string drive_ = dir_.File("drive");  // a folder for the disk test
};

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
  const LoopMount* mount = nullptr;  // the disk test's filesystem, and the pairs it must get
  uint64_t pairs = 0;
  // To interrupt the run: once `ready` has been shown `times` times and `settle_ms` have
  // passed, or once `until` holds, Ctrl+C on a terminal, else the exit code's signal.
  std::string ready = "";
  size_t times = 1;
  int settle_ms = 0;
  std::function<bool()> until = nullptr;
  int seconds = 0;                         // a run's time limit: it must end within 2.5 s after it
  std::function<void()> during = nullptr;  // done once `ready` appeared, instead of an interrupt
  std::string sources = kNoSources;        // the start line; "": the real machine's, checked
};

// Loop counts, warnings, where the log goes, every test passing and failing, every kind of
// processor fault in a worker and in the driver, the disk test on real folders and on small,
// full and read-only filesystems: catches a wrong verdict or exit code, a pass too many or
// too few, a lost header, footer, stamp, system-log entry, record, crash report or dump, a
// file left behind, and every changed console text.
TEST_F(ProgramTest, RunsShowTheirWholeConsoleLogRecordSystemLogAndCrashReport) {
  TempDir elsewhere;  // a current folder that is not the program's
  WriteFile(dir_.File("other.ini"), "[Main]\nLoop=2\nLogFile=other.Log\n" + kAllOff);
  const std::string linked = dir_.File("linked");  // a link planted at the disk test's probe
  std::filesystem::create_directory(linked);
  std::filesystem::create_symlink(dir_.File("other.ini"), linked + "/~temp.tmp");
  LoopMount read_only({.image_bytes = 16ull << 20, .read_only = true});
  LoopMount small({.image_bytes = 3100ull << 20, .inodes = 64});  // under 3 GiB free
  LoopMount big({.image_bytes = 3700ull << 20, .inodes = 64});    // room for one pair
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
  const std::string errors = no_memory(0) + cache +
                             "Thread 0 : Starting Quick Sort test...\n[*** ERROR Thread 0 : Sort "
                             "ArraySize 3000000000 is out of range (0 to 2147483647) ***]\n" +
                             no_memory(1);
  const std::string sorts =
      R"({"elements":30000,"quick_sort_seconds":S,"shell_sort_seconds":S,"merge_sort_seconds":S,"heap_sort_seconds":S})";
  // The determinant of the matrix test's 12 x 12 matrix, exact in 64-bit arithmetic.
  const std::string matrix = R"({"order":12,"element_0_0":-8669097599543803904})";
  const std::string memory_figures =
      R"({"megabytes":8,"bytes_checked":2113536000,"gb_per_s":S,"fill":"streaming"})";
  std::string null_reads;
  for (int pass : {1, 2})
    null_reads += End("NullRead", pass, 0, 0, kAv) + End("NullRead", pass, 1, 1, kAv) +
                  End("Pass", pass, 0, 0, "");
  const std::string overflow = "Exception STACK_OVERFLOW (0xc00000fd) at address ADDR.\n";
  const std::string divide = "Exception INT_DIVIDE_BY_ZERO (0xc0000094) at address ADDR.\n";
  const std::string illegal = "Exception ILLEGAL_INSTRUCTION (0xc000001d) at address ADDR.\n";
  const std::string bad_cell =
      "[***ERROR Thread 1 : Occured DRAM array test at address ADDR ***]\n";
  const std::string disk = Off("Disk") + "[Disk]\nDrive=";
  auto written = [](int n, const std::string& root, int size, const std::string& fewer = "") {
    const std::string thread = "Thread " + std::to_string(n) + " : ";
    return thread + "Writting " + std::to_string(size) + "GB on drive " + root + " ...\n" + fewer +
           thread + "Verifying written data on drive " + root + " ...\n~" + thread +
           "Verifying written data on drive " + root + " ...[Done]\n";
  };
  // Fewer pairs than `asked` written for want of room: the whole gigabytes then free.
  auto short_of_room = [](const std::string& root, int pairs, int asked, uint64_t free) {
    return "Thread 0 : Drive " + root + ": " + std::to_string(pairs) + " of " +
           std::to_string(asked) + " file pairs written: " + std::to_string(free >> 30) +
           ".# GB free, 3 GB needed\n";
  };
  auto cannot = [](const std::string& root) {
    return "--- Loop 1 of 1 ---\n[*** ERROR Thread 0 : Cannot write on " + root + " drive ***]\n" +
           kFailed;
  };
  const std::string drive = drive_ + "/";
  const std::string passed = R"("All tests passed successfully.")";
  auto time_up = [](const std::string& limit, const std::string& test) {
    return "\nTime limit of " + limit + " reached during pass 1 (the " + test +
           " test was cut short).\nAll tests passed successfully.\n";
  };
  const std::string spinning =
      "--- Loop 1 of 2 ---\nThread 0 : Spinning...\nThread 1 : Spinning...\n";
  auto copying = [&] {  // the copy has begun: the second file has grown
    for (const std::string& name : TestFilesIn(drive_))
      if (std::error_code e;
          name[0] == 'n' && std::filesystem::file_size(drive_ + "/" + name, e) + 1 > 1)
        return true;
    return false;
  };
  // Memory modules whose corrected-error count rises while the memory test runs, by 3 with
  // none allowed and by 2 with 5 allowed.
  TempDir ecc_3, ecc_2;
  auto set_ecc = [](const TempDir& root, int count) {
    const std::string mc = root.File("devices/system/edac/mc/mc0/");
    std::filesystem::create_directories(mc + "dimm0");
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"ce_count", std::to_string(count)},
          {"ue_count", "0"},
          {"ce_noinfo_count", "0"},
          {"ue_noinfo_count", "0"},
          {"dimm0/dimm_label", "DIMM_A1\n"},
          {"dimm0/dimm_ce_count", std::to_string(count)},
          {"dimm0/dimm_ue_count", "0"}})
      WriteFile(mc + name, value);
  };
  set_ecc(ecc_3, 0);
  set_ecc(ecc_2, 0);
  const std::string ecc_sources =
      "Hardware error sources: memory ECC (1 controller, 1 module); " +
      kNoSources.substr(kNoSources.find("unavailable: ")).replace(13, 12, "");
  auto ecc_run = [&](int rise, bool fails) {
    const std::string line =
        std::string("[***HARDWARE ") + (fails ? "ERROR" : "WARNING") + ": " + std::to_string(rise) +
        " corrected memory errors on mc0 (DIMM_A1) during the Memory test, pass 1 ***]";
    return std::pair{
        "--- Loop 1 of 1 ---\n" + ReplaceAll(memory, "8MB", "40MB") + line + "\n" +
            (fails ? kFailed : kPassed),
        ReplaceAll(kRunStart, R"("found":\[\],"unavailable":\["memory ECC",)",
                   R"j("found":["memory ECC (1 controller, 1 module)"],"unavailable":[)j") +
            End("Memory", 1, 0, 0, "",
                ReplaceAll(ReplaceAll(memory_figures, "2113536000", "10567680000"), ":8,",
                           ":40,")) +
            R"({"record":"health","test":"Memory","pass":1,"events":[{"source":"memory_ecc","text":")" +
            line + R"(","fails":)" + (fails ? "true" : "false") +
            R"(}],"deltas":{"memory_ecc":{"mc0/dimm0/dimm_ce_count":)" + std::to_string(rise) +
            R"(}},"kernel_lines":[]})" + "\n" +
            RunEnd(
                fails ? R"("Error: Some of the tests failed.")"
                      : R"("All tests passed successfully.")",
                fails ? 1 : 0, false, "passes", true,
                R"({"events":1,"failing_events":)" + std::to_string(fails ? 1 : 0) +
                    R"(,"corrected_memory_errors":)" + std::to_string(rise) +
                    R"(,"uncorrected_memory_errors":0,"highest_temperature_c":null,"throttle_count":null,"frequency_mhz":null,"smart":null})")};
  };
  const auto [ecc_3_lines, ecc_3_records] = ecc_run(3, true);
  const auto [ecc_2_lines, ecc_2_records] = ecc_run(2, false);
  // clang-format off
  Case cases[] = {
    {.name = "no log folder", .ini = "[Main]\nLoop=1\nLogFile=other.ini/run.Log\n" + kAllOff, .lines = "--- Loop 1 of 1 ---\n" + kAllDisabled + kPassed, .log = "",
     .sources = "Warning: the log " + dir_.File("other.ini/run.Log") + " cannot be written (Not a directory); its lines are lost until it can be\n" + kNoSources},
    {"empty log name", "[Main]\nLoop=1\nLogFile=\n" + kAllOff, "--- Loop 1 of 1 ---\n" + kAllDisabled + kPassed, 0, {"forgeval"}, "", "-", ""},
    {"three passes", "[Main]\nLoop=3\n" + kAllOff, "--- Loop 1 of 3 ---\n--- Loop 2 of 3 ---\n--- Loop 3 of 3 ---\n" + kAllDisabled + kPassed},
    {"warnings", "[Main]\nLoop=none\n" + kAllOff + "[Cache]\nEnable=false\n",
     "Warning: ./forgeval.ini line 2: [Main] Loop=none is read as 0; no pass runs\nWarning: ./forgeval.ini line 16: unknown key \"Enable\" in section [Cache]\n"
     "Nothing was tested: Loop is 0\n" + kPassed},
    {"-1", "[Main]\nLoop=-1\n" + kAllOff, "Warning: ./forgeval.ini line 2: [Main] Loop=-1 is read as -1; no pass runs\nNothing was tested: Loop is -1\n" + kPassed},
    {"2^31", "[Main]\nLoop=2147483648\n" + kAllOff,
     "Warning: ./forgeval.ini line 2: [Main] Loop=2147483648 is read as -2147483648; no pass runs\nNothing was tested: Loop is -2147483648\n" + kPassed},
    {"0, appended", "[Main]\nLoop=0\n" + kAllOff, "Nothing was tested: Loop is 0\n" + kPassed},
    {"29 characters", "[Main]\nLoop=1\nLogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log\n" + kAllOff,
     "Warning: ./forgeval.ini line 3: [Main] LogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log is cut to its first 29 characters: \"abcdefghijklmnopqrstuvwxyz012\"\n--- Loop 1 of 1 ---\n" + kAllDisabled + kPassed,
     0, {"forgeval"}, "", "-", "abcdefghijklmnopqrstuvwxyz012"},
    {"the first argument", "", "--- Loop 1 of 2 ---\n--- Loop 2 of 2 ---\n" + kAllDisabled + kPassed, 0, {"forgeval", dir_.File("other.ini"), "ignored"}, "", "-", "other.Log", {.working_dir = elsewhere.path()}},
    {"all pass", "[Main]\nLoop=1\n[Memory]\nCPU=0\nMemSize=8\n[Cache]\nCPU=0\n[FFT]\nEnabled=0\n[SortAlgorithms]\nCPU=0,1\nArraySize=30000\n[Matrix]\nCPU=0,1\n[Disk]\nEnabled=0\n",
     "--- Loop 1 of 1 ---\n" + memory + cache + sort_and_matrix(0) + sort_and_matrix(1) + kPassed, 0, {"forgeval"},
     kRunStart + End("Memory", 1, 0, 0, "", memory_figures) + End("Cache", 1, 0, 0, "", CacheFigures()) +
         End("SortAlgorithms", 1, 0, 0, "", sorts) + End("SortAlgorithms", 1, 1, 1, "", sorts) + End("Matrix", 1, 0, 0, "", matrix) +
         End("Matrix", 1, 1, 1, "", matrix) + RunEnd(R"("All tests passed successfully.")", 0)},
    {"errors", "[Main]\nLoop=2\n[Memory]\nCPU=0,1\nMemSize=2000000000\n[Cache]\nCPU=0\n[FFT]\nEnabled=0\n[SortAlgorithms]\nCPU=0\nArraySize=3000000000\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n",
     "--- Loop 1 of 2 ---\n" + errors + "--- Loop 2 of 2 ---\n" + errors + kFailed, 1},
    {"out of memory", "[SortAlgorithms]\nCPU=0\nArraySize=200000000\n" + Off("SortAlgorithms"),
     "--- Loop 1 of 1 ---\nThread 0 : Starting Quick Sort test...\nOut of memory.\n" + kFailed, 1, {"forgeval"}, "", "-", "forgeval.Log", {.address_space_limit = 1ull << 30}},
    {"one pair", disk + drive_ + "\nCPU=0\nSize=1\n", "--- Loop 1 of 1 ---\n" + written(0, drive, 1) + kPassed},
    {"two workers, one folder", disk + drive_ + "," + drive_ + "\nCPU=1\nSize=1\n", "--- Loop 1 of 1 ---\n" + written(0, drive, 1) + written(1, drive, 1) + kPassed},
    {"no folder", disk + dir_.File("absent") + "\n", cannot(dir_.File("absent/")), 1},
    {"a planted link", disk + linked + "\\\n", cannot(linked + "/"), 1},
    {"a drive letter", disk + "C:\n", cannot("C:/"), 1},
    {"read-only", disk + read_only.path() + "\n", cannot(read_only.path() + "/"), 1, {"forgeval"}, "", "-", "forgeval.Log", {}, &read_only, 0},
    {"under 3 GiB free", disk + small.path() + "\nSize=10\n", "--- Loop 1 of 1 ---\n" + written(0, small.path() + "/", 10, short_of_room(small.path() + "/", 0, 10, small.AvailableBytes())) + "The Disk test wrote 0 GB on drive " + small.path() + "/\n" + kPassed, 0, {"forgeval"}, "", "-", "forgeval.Log", {}, &small, 0},
    {"room for one pair", disk + big.path() + "\nSize=10\n", "--- Loop 1 of 1 ---\n" + written(0, big.path() + "/", 10, short_of_room(big.path() + "/", 1, 10, big.AvailableBytes() - (1 << 30))) + kPassed, 0, {"forgeval"},
     kRunStart + End("Disk", 1, 0, 0, "", R"({"pairs_asked":10,"pairs_written":1,"write_mb_per_s":S,"read_mb_per_s":S})") + RunEnd(R"("All tests passed successfully.")", 0), "-", "forgeval.Log", {}, &big, 1},
    {"Ctrl+C on a terminal", "[Main]\nLoop=2\n[Spin]\nCPU=0,1\n[Pass]\nCPU=0\n", Unknown(3, "Spin") + Unknown(5, "Pass") + spinning + "\nRun interrupted (SIGINT).\n", 130,
     Probe({"Spin", "Pass"}), kRunStart + End("Spin", 1, 0, 0, "interrupted") + End("Spin", 1, 1, 1, "interrupted") + RunEnd("null", 130, true, "passes", false), "-", "forgeval.Log",
     {.terminal = true}, nullptr, 0, "\r\033[K[Loop 1 of 2 | Spin | T0  50% T1  50% | 00:00:00]"},
    {"SIGTERM in a pipe", "[Main]\nLoop=2\n[Spin]\nCPU=0,1\n[Pass]\nCPU=0\n", Unknown(3, "Spin") + Unknown(5, "Pass") + spinning + "\nRun interrupted (SIGTERM).\n", 143,
     Probe({"Spin", "Pass"}), "", "-", "forgeval.Log", {}, nullptr, 0, "Spinning...", 2},
    {"memory interrupted", "[Memory]\nCPU=0\nMemSize=800\n" + Off("Memory"), "--- Loop 1 of 1 ---\nThread 0 : Allocating 800MB Memory for testing...\n" +
     Steps(0, {"Testing Memory Address & Data bus..."}) + "Thread 0 : Testing DRAM Arrays...\n\nRun interrupted (SIGTERM).\n", 143, {"forgeval"}, "", "-", "forgeval.Log", {}, nullptr, 0, "Testing DRAM Arrays...\n"},
    {"transform interrupted", "[FFT]\nCPU=0,1\n" + Off("FFT"), "--- Loop 1 of 1 ---\nThread 0 : Starting Fast Fourier Transform test...\nThread 1 : Starting Fast Fourier Transform test...\n\nRun interrupted (SIGINT).\n",
     130, {"forgeval"}, "", "-", "forgeval.Log", {}, nullptr, 0, "Starting Fast", 2, 1500},
    {"sort interrupted", "[SortAlgorithms]\nCPU=0,1\nArraySize=20000000\n" + Off("SortAlgorithms"), "--- Loop 1 of 1 ---\nThread 0 : Starting Quick Sort test...\nThread 1 : Starting Quick Sort test...\n\nRun interrupted (SIGINT).\n",
     130, {"forgeval"}, "", "-", "forgeval.Log", {}, nullptr, 0, "Starting Quick", 2, 1500},
    {"matrix interrupted", "[Matrix]\nCPU=0,1\n" + Off("Matrix"), "--- Loop 1 of 1 ---\nThread 0 : Starting Complex Matrix test...\nThread 1 : Starting Complex Matrix test...\n\nRun interrupted (SIGINT).\n",
     130, {"forgeval"}, "", "-", "forgeval.Log", {}, nullptr, 0, "Starting Complex", 2, 1500},
    {"disk write interrupted", disk + drive_ + "\nSize=3\n", "--- Loop 1 of 1 ---\nThread 0 : Writting 3GB on drive " + drive + " ...\n\nRun interrupted (SIGINT).\n", 130, {"forgeval"}, "", "-",
     "forgeval.Log", {}, nullptr, 0, "", 1, 300, [&] { return !TestFilesIn(drive_).empty(); }},
    {"disk copy interrupted", disk + drive_ + "\nSize=1\n", "--- Loop 1 of 1 ---\nThread 0 : Writting 1GB on drive " + drive + " ...\n\nRun interrupted (SIGTERM).\n", 143, {"forgeval"}, "", "-",
     "forgeval.Log", {}, nullptr, 0, "", 1, 0, copying},
    {"disk hang-up", disk + drive_ + "\nSize=1\n", "--- Loop 1 of 1 ---\nThread 0 : Writting 1GB on drive " + drive + " ...\n\nRun interrupted (SIGHUP).\n", 129, {"forgeval"},
     kRunStart + End("Disk", 1, 0, 0, "interrupted") + RunEnd("null", 129, true, "passes", false), "-", "forgeval.Log", {}, nullptr, 0, "", 1, 300, [&] { return !TestFilesIn(drive_).empty(); }},
    {"time limit in a test", "[Main]\nDuration=3\n[FFT]\nCPU=0,1\n" + Off("FFT"), "--- Loop 1 ---\nThread 0 : Starting Fast Fourier Transform test...\nThread 1 : Starting Fast Fourier Transform test...\nNothing was tested: no worker completed\n" + time_up("3s", "FFT"),
     0, {"forgeval"}, kRunStart + End("FFT", 1, 0, 0, "time_up") + End("FFT", 1, 1, 1, "time_up") + RunEnd(passed, 0, false, "duration", false), "-", "forgeval.Log", {}, nullptr, 0, "", 1, 0, nullptr, 3},
    {"time limit in the disk test", "[Main]\nDuration=2s\n" + disk + drive_ + "\nSize=3\n", "--- Loop 1 ---\nThread 0 : Writting 3GB on drive " + drive + " ...\nNothing was tested: no worker completed\n" + time_up("2s", "Disk"),
     0, {"forgeval"}, kRunStart + End("Disk", 1, 0, 0, "time_up") + RunEnd(passed, 0, false, "duration", false), "-", "forgeval.Log", {}, nullptr, 0, "", 1, 0, nullptr, 2},
    {"a malformed time limit", "[Main]\nDuration=12x\n" + kAllOff, "Warning: ./forgeval.ini line 2: [Main] Duration=12x is read as no time limit\n--- Loop 1 of 1 ---\n" + kAllDisabled + kPassed},
    {"Loop=1 before the time limit", "[Main]\nLoop=1\nDuration=1h\n[Cache]\nCPU=0\n" + Off("Cache"), "--- Loop 1 of 1 ---\n" + cache + kPassed,
     0, {"forgeval"}, kRunStart + End("Cache", 1, 0, 0, "", CacheFigures()) + RunEnd(passed, 0)},
    {"a time limit with every test off", "[Main]\nDuration=2d\nLoop=\n" + kAllOff, "--- Loop 1 ---\n" + kAllDisabled + kPassed, 0, {"forgeval"}, kRunStart + RunEnd(passed, 0, false, "passes", false)},
    {"untranslated fault", "[UntranslatedFault]\nCPU=0\n", Unknown(1, "UntranslatedFault") + "--- Loop 1 of 1 ---\n", -1, Probe({"UntranslatedFault"}), kRunStart},
    {"other faults", "[StackOverflow]\nCPU=1\n[DivideByZero]\nCPU=0\n[IllegalInstruction]\nCPU=1\n[SmallTransform]\nCPU=0\n[Memory]\nCPU=0,1\nMemSize=8\n",
     Unknown(1, "StackOverflow") + Unknown(3, "DivideByZero") + Unknown(5, "IllegalInstruction") + Unknown(7, "SmallTransform") +
         "--- Loop 1 of 1 ---\n" + overflow + divide + illegal + "Thread 0 : Starting Fast Fourier Transform test...\n" +
         "Thread 0 : Fast Fourier Transform test...[Done]\n" + memory + "Thread 1 : Allocating 8MB Memory for testing...\n" +
         Steps(1, {"Testing Memory Address & Data bus..."}) + "Thread 1 : Testing DRAM Arrays...\n" + bad_cell + kFailed,
     1, Probe({"StackOverflow", "DivideByZero", "IllegalInstruction", "SmallTransform", "MemoryWithBadCell"}),
     kRunStart + End("StackOverflow", 1, 0, 1, overflow) + End("DivideByZero", 1, 0, 0, divide) + End("IllegalInstruction", 1, 0, 1, illegal) +
         // Bit-exact: the same binary gives these sums on every machine.
         End("SmallTransform", 1, 0, 0, "", R"({"last_length":48,PATH,"sum_0":"92.572854099444157","sum_0_bits":"405724a9a43d9f80","sum_1":"92.572854099444157","sum_1_bits":"405724a9a43d9f80"})") +
         End("Memory", 1, 0, 0, "", memory_figures) + End("Memory", 1, 1, 1, bad_cell) + RunEnd(R"("Error: Some of the tests failed.")", 1), ""},
    {"driver fault", "[Main]\nLoop=1\n", "--- Loop 1 of 1 ---\n" + kAv, 255, Probe({"DriverFault"}), kRunStart + RunEnd("null", 255, false, "passes", false),
     "Read from location 00000010 caused an access violation.\r\n"},
    {"worker faults", "[Main]\nLoop=2\n[NullRead]\nCPU=0,1\n[Pass]\nCPU=0\n",
     Unknown(3, "NullRead") + Unknown(5, "Pass") + "--- Loop 1 of 2 ---\n" + kAv + kAv + Steps(0, {"Passing..."}) + "--- Loop 2 of 2 ---\n" + kAv + kAv + Steps(0, {"Passing..."}) + kFailed,
     1, Probe({"NullRead", "Pass"}), kRunStart + null_reads + RunEnd(R"("Error: Some of the tests failed.")", 1), "Read from location 00000000 caused an access violation.\r\n"},
    {.name = "corrected memory errors", .ini = "[Memory]\nCPU=0\nMemSize=40\n" + Off("Memory"), .lines = ecc_3_lines, .exit_code = 1, .records = ecc_3_records,
     .options = {.environment = {{"FORGEVAL_SYS_ROOT", ecc_3.path()}}}, .ready = "Allocating 40MB", .during = [&] { set_ecc(ecc_3, 3); }, .sources = ecc_sources},
    {.name = "corrected memory errors allowed", .ini = "[Memory]\nCPU=0\nMemSize=40\n" + Off("Memory") + "[Health]\nMaxCorrectedMemoryErrors=5\n", .lines = ecc_2_lines,
     .records = ecc_2_records, .options = {.environment = {{"FORGEVAL_SYS_ROOT", ecc_2.path()}}}, .ready = "Allocating 40MB", .during = [&] { set_ecc(ecc_2, 2); },
     .sources = ecc_sources},
    {.name = "the machine's own sources", .ini = "[Memory]\nCPU=0\nMemSize=8\n" + Off("Memory"), .lines = "--- Loop 1 of 1 ---\n" + memory + kPassed,
     .options = {.environment = {{"FORGEVAL_SYS_ROOT", "/sys"}, {"FORGEVAL_PROC_ROOT", "/proc"}, {"FORGEVAL_KMSG", "/dev/kmsg"}, {"FORGEVAL_SMARTCTL", ""}}},
     .sources = ""},
  };
  // clang-format on
  std::map<std::string, std::string> logs;  // every run appends to its log
  std::string report;
  std::string dump;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.mount != nullptr && !c.mount->skip_reason().empty()) continue;  // no root, no loop
    std::filesystem::remove(dir_.File("forgeval.results.jsonl"));
    const uint64_t wrote = c.mount ? c.mount->SectorsWritten() : 0,
                   read_back = c.mount ? c.mount->SectorsRead() : 0;
    const auto started = std::chrono::steady_clock::now();
    auto process = Start(c.ini, c.argv, c.options);
    const bool interrupt = (!c.ready.empty() || c.until) && !c.during;
    EXPECT_TRUE(c.until ? WaitFor(c.until) : process->ReadUntil(c.ready, c.times))
        << process->output();
    if (c.during) c.during();
    std::this_thread::sleep_for(std::chrono::milliseconds(c.settle_ms));
    const auto stopped = std::chrono::steady_clock::now();
    if (interrupt && c.options.terminal) process->Type("\x03");
    if (interrupt && !c.options.terminal) process->Signal(c.exit_code - 128);
    ProcessResult result = process->Wait();
    EXPECT_TRUE(!interrupt || std::chrono::steady_clock::now() - stopped < std::chrono::seconds(3));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(c.seconds == 0 || (took.count() >= c.seconds && took.count() < c.seconds + 2.5))
        << took.count();
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.signal, c.exit_code < 0 ? SIGSEGV : 0);
    std::string sources = c.sources;
    if (sources.empty()) {  // the machine's own: every source named once, found or not
      const auto found = AllMatchGroups(result.output, "(Hardware error sources: [^\r\n]*)");
      sources = found.empty() ? "" : found[0][0];
      for (const char* name :
           {"memory ECC", "machine-check counters", "kernel log", "PCIe AER", "SMART",
            "temperatures", "throttle counters", "processor frequencies"})
        EXPECT_EQ(CountMatches(sources, std::string("[:,] ") + name), 1u) << sources;
    }
    EXPECT_EQ(Normalized(result.output), ConsoleOf(c.lines, sources));
    const bool closed = c.exit_code >= 0 && c.exit_code != 255;
    EXPECT_EQ(Normalized(Read(c.log)),
              c.log.empty() ? "" : logs[c.log] += LogOf(c.lines, closed, sources));
    EXPECT_EQ(Datagrams(), ErrorsOf(c.lines));
    EXPECT_EQ(c.records.empty() ? "" : Normalized(Read("forgeval.results.jsonl")), c.records);
    for (const std::string& folder : {drive_, small.path(), big.path()})
      EXPECT_TRUE(TestFilesIn(folder).empty()) << folder;
    if (c.mount != nullptr) {  // the pairs reached the device and were read back from it
      sync();
      EXPECT_EQ(((c.mount->SectorsWritten() - wrote) * 512 + (32 << 20)) >> 30, c.pairs);
      EXPECT_GE((c.mount->SectorsRead() - read_back) * 512, c.pairs << 30);
    }
    // The first processor fault of a run appends one report and replaces the dump.
    const std::string new_report = Read("ERRORLOG.TXT");
    const std::string new_dump = Read("CRASH.DMP");
    const bool reported = c.report != "-";
    EXPECT_EQ(result.errors, reported ? "writing minidump\r\n" : "");
    ASSERT_TRUE(new_report.starts_with(report));
    EXPECT_EQ(reported, FullMatch(new_report.substr(report.size()),
                                  ReportPattern(dir_.File(c.argv[0]), c.report)));
    EXPECT_GE(CountMatches(new_report.substr(report.size()), "\r\nModule \\d+\r\n"),
              reported ? 5u : 0u);
    EXPECT_EQ(reported, new_dump != dump && new_dump.starts_with("\x7f"
                                                                 "ELF"));
    report = new_report;
    dump = new_dump;
  }
  EXPECT_FALSE(FileExists(elsewhere.File("other.Log")) || FileExists(dir_.File("absent")) ||
               FileExists(dir_.File("C:")));
  EXPECT_TRUE(std::filesystem::is_symlink(linked + "/~temp.tmp"));
  EXPECT_EQ(Read("other.ini"), "[Main]\nLoop=2\nLogFile=other.Log\n" + kAllOff);
  // gdb opens the dump of the last run at the faulting function, with its callers.
  const ProcessResult bt = RunProcess(
      {"/usr/bin/gdb", "-batch", "-nx", "-ex", "bt", dir_.File("probe"), dir_.File("CRASH.DMP")},
      {});
  EXPECT_TRUE(Contains(
      bt.output,
      R"(signal SIGSEGV[^]*\n#0 +0x[0-9a-f]+ in FaultNullRead \(\)[^]*RunTestWorker[^]*start_thread)"))
      << bt.output;
}

// A configuration the program cannot read, or reads otherwise than written, gives the exact
// line that says so and what is used instead; a path on the command line that cannot be read is
// a usage error that runs nothing; a run that tests nothing says so before its verdict and in
// its record; a log that cannot be written says so on the console; control bytes from the
// configuration are shown escaped on console, log and system log. Catches a silent run of the
// defaults, a misleading warning, a disabled test turned back on, and a hidden empty run.
TEST_F(ProgramTest, ConfigurationFaultsSayWhatTheProgramUses) {
  LoopMount read_only({.image_bytes = 16ull << 20, .read_only = true});
  const std::string usage =
      "Usage: forgeval [CONFIG]\nTry 'forgeval --help' for more information.\n";
  auto unreadable = [&](const std::string& path, const std::string& reason) {
    return "forgeval: the configuration file '" + path + "' cannot be read (" + reason +
           "); nothing was run\n" + usage;
  };
  auto unwritable = [](const std::string& log, const std::string& record, const std::string& why) {
    return "LogFile=" + log + "\nResultFile=" + record + "\n" + kAllOff + "\1" +
           "Warning: the log " + log + " cannot be written (" + why +
           "); its lines are lost until it can be\n" + "Warning: the run record " + record +
           " cannot be written (" + why + "); the run goes on without it\n";
  };
  const std::string zero_mb = "Thread 0 : Allocating 0MB Memory for testing...\n" +
                              Steps(0, {"Testing Memory Address & Data bus...",
                                        "Testing DRAM Arrays...", "De-allocating 0MB Memory..."});
  std::string flood = "[Main]\nLoop=0\n", flooded;
  for (int i = 0; i < 105; ++i) flood += "Key" + std::to_string(i) + "=1\n";
  for (int i = 0; i < 100; ++i)
    flooded += "Warning: ./forgeval.ini line " + std::to_string(i + 3) + ": unknown key \"Key" +
               std::to_string(i) + "\" in section [Main]\n";
  struct ConfigCase {
    const char* name;
    std::string ini;  // for the log cases: the [Main] keys, "\1", then the console-only lines
    std::vector<std::string> argv;
    std::string lines;  // after the banner; for a usage error: standard error
    int exit_code = 0;
    bool tested = false;  // run_end's "tested"
  };
  // clang-format off
  const ConfigCase cases[] = {
    {"a missing file", "", {"forgeval", "my.ini"}, unreadable("my.ini", "No such file or directory"), 2},
    {"a folder", "", {"forgeval", drive_}, unreadable(drive_, "Is a directory"), 2},
    {"a device", "", {"forgeval", "/dev/zero"}, unreadable("/dev/zero", "not a regular file"), 2},
    {"an unknown short option", "", {"forgeval", "-v"}, "forgeval: unknown option '-v'\n" + usage, 2},
    {"an option after the path", "", {"forgeval", "forgeval.ini", "-c"}, "forgeval: unknown option '-c'\n" + usage, 2},
    {"MemSize=-1", "[Memory]\nMemSize=-1\n" + Off("Memory"), {"forgeval"},
     "Warning: ./forgeval.ini line 2: [Memory] MemSize=-1 is read as -1; the Memory test allocates 0 MB\n--- Loop 1 of 1 ---\n" + zero_mb +
     "The Memory test allocated 0 MB\n" + kPassed},
    {"MemSize=-4", "[Memory]\nMemSize=-4\n" + Off("Memory"), {"forgeval"},
     "Warning: ./forgeval.ini line 2: [Memory] MemSize=-4 is read as -4; the Memory test reports it as an error\n--- Loop 1 of 1 ---\n"
     "Thread 0 : Allocating -4MB Memory for testing...\n[***ERROR: Thread 0 : Allocating Memory: MemSize -4 gives a negative block count ***]\n" + kFailed, 1},
    {"lines not read", "[Main]\r\nLoop=1\r\n[Memory]\r\nMemSize=4294967295\r\nEnabled false\r\n[Cache\r\nEnabled: false\r\n" +
     ReplaceAll(Off("Memory"), "\\[Cache\\]\nEnabled=false\n", ""), {"forgeval"},
     "Warning: ./forgeval.ini line 4: [Memory] MemSize=4294967295 is read as -1; the Memory test allocates 0 MB\n"
     "Warning: ./forgeval.ini line 5: [Memory] \"Enabled false\" is not a key=value line and is not read; Enabled takes its default\n"
     "Warning: ./forgeval.ini line 6: \"[Cache\" has no closing bracket; the lines below it are read as section [Cache]\n"
     "Warning: ./forgeval.ini line 7: [Cache] \"Enabled: false\" is not a key=value line and is not read; Enabled takes its default\n"
     "--- Loop 1 of 1 ---\n" + zero_mb + Steps(0, {"Testing L1 Cache...", "Testing L2 Cache..."}) + "The Memory test allocated 0 MB\n" + kPassed, 0, true},
    {"no worker", "[Disk]\nDrive=\n" + Off("Disk"), {"forgeval"}, "--- Loop 1 of 1 ---\nNothing was tested: no worker completed\n" + kPassed},
    {"CR line ends", ReplaceAll("[Main]\nLoop=2\n" + kAllOff, "\n", "\r"), {"forgeval"},
     "--- Loop 1 of 2 ---\n--- Loop 2 of 2 ---\n" + kAllDisabled + kPassed},
    {"a flood of warnings", flood + kAllOff, {"forgeval"},
     flooded + "Warning: ./forgeval.ini: 5 more warnings are not shown\nNothing was tested: Loop is 0\n" + kPassed},
    {"moved away mid-run", "[Main]\nLoop=2\n[MoveConfigurationAway]\nCPU=0\n[Pass]\nEnabled=0\n", Probe({"MoveConfigurationAway", "Pass"}),
     Unknown(3, "MoveConfigurationAway") + Unknown(5, "Pass") + "--- Loop 1 of 2 ---\nWarning: ./forgeval.ini cannot be read now (No such file or directory);"
     " the settings read from it last are used until it can be read again\n--- Loop 2 of 2 ---\n" + kPassed, 0, true},
    {"control bytes", "[Main]\nBell\a=1\n" + Off("Disk") + "[Disk]\nDrive=" + drive_ + "/\x1b[31mred\n", {"forgeval"},
     "Warning: ./forgeval.ini line 2: unknown key \"Bell\\x07\" in section [Main]\n--- Loop 1 of 1 ---\n"
     "[*** ERROR Thread 0 : Cannot write on " + drive_ + "/\\x1b[31mred/ drive ***]\n" + kFailed, 1},
    {"a log in /proc", unwritable("/proc/f.Log", "/proc/f.jsonl", "No such file or directory"), {"forgeval"}, "--- Loop 1 of 1 ---\n" + kAllDisabled + kPassed},
    {"a log at a folder", unwritable(drive_, drive_, "Is a directory"), {"forgeval"}, "--- Loop 1 of 1 ---\n" + kAllDisabled + kPassed},
    {"a log on a read-only filesystem", unwritable(read_only.path() + "/f.Log", read_only.path() + "/f.jsonl", "Read-only file system"), {"forgeval"},
     "--- Loop 1 of 1 ---\n" + kAllDisabled + kPassed},
  };
  // clang-format on
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (Contains(c.name, "read-only") && !read_only.skip_reason().empty()) continue;
    for (const char* name : {"forgeval.Log", "forgeval.results.jsonl"})
      std::filesystem::remove(dir_.File(name));
    const size_t split = c.ini.find('\1');
    const bool logged = split == std::string::npos;
    auto process = Start(logged ? c.ini : "[Main]\nLoop=1\n" + c.ini.substr(0, split), c.argv);
    // A configuration not read as meant runs the defaults for many minutes: stop such a run.
    process->ReadUntil("\1", 1, 30);
    if (process->Running()) process->Signal(SIGKILL);
    const ProcessResult result = process->Wait();
    EXPECT_EQ(result.exit_code, c.exit_code);
    if (c.exit_code == 2) {  // a usage error runs nothing
      EXPECT_EQ(result.output, "");
      EXPECT_EQ(result.errors, c.lines);
      EXPECT_FALSE(FileExists(dir_.File("forgeval.Log")) ||
                   FileExists(dir_.File("forgeval.results.jsonl")));
      continue;
    }
    // The log's own warning comes before the start line, since the log is opened first.
    const std::string unlogged = logged ? "" : c.ini.substr(split + 1);
    const size_t first = unlogged.find('\n') + 1;
    EXPECT_EQ(Normalized(result.output),
              ConsoleOf(unlogged.substr(first) + c.lines, unlogged.substr(0, first) + kNoSources));
    EXPECT_EQ(Normalized(Read("forgeval.Log")), logged ? LogOf(c.lines, true) : "");
    EXPECT_EQ(Datagrams(), ErrorsOf(c.lines));
    const std::string record = Normalized(Read("forgeval.results.jsonl"));
    EXPECT_TRUE(logged
                    ? record.ends_with(RunEnd(c.exit_code ? R"("Error: Some of the tests failed.")"
                                                          : R"("All tests passed successfully.")",
                                              c.exit_code, false, "passes", c.tested))
                    : record.empty())
        << record;
  }
  EXPECT_EQ(Read("forgeval.ini.moved"),
            "[Main]\nLoop=2\n[MoveConfigurationAway]\nCPU=0\n[Pass]\nEnabled=0\n");
}

// The files of a killed run are removed by the next run on the folder, with one line; the
// files of a live instance (held locked), an operator's file named like a test file and a
// link of such a name stay.
TEST_F(ProgramTest, TheNextRunRemovesAKilledRunsFilesAndNothingElse) {
  const std::string ini = Off("Disk") + "[Disk]\nDrive=" + drive_ + "\nSize=";
  auto killed = Start(ini + "1\n");
  ASSERT_TRUE(WaitFor([&] { return TestFilesIn(drive_).size() == 2; }));
  killed->Signal(SIGKILL);
  EXPECT_EQ(killed->Wait().signal, SIGKILL);
  ASSERT_EQ(TestFilesIn(drive_).size(), 2u);
  platform::DiskFile live;
  ASSERT_EQ(live.CreateUnique(drive_ + "/", 'm', platform::FileMode::kCached), 0);
  WriteFile(drive_ + "/nOperat.TMP", "the operator's own");
  std::filesystem::create_symlink(drive_ + "/" + TestFilesIn(drive_)[0], drive_ + "/mLinked.TMP");
  const ProcessResult next = Run(ini + "0\n");
  EXPECT_EQ(next.exit_code, 0);
  EXPECT_TRUE(Contains(next.output, "\nThread 0 : Drive " + Escaped(drive_) +
                                        "/: removed 2 files an earlier run left, \\d\\.\\d GB\n"))
      << next.output;
  std::vector<std::string> kept = TestFilesIn(drive_), expected = {"mLinked.TMP", "nOperat.TMP"};
  expected.push_back(live.path().substr(drive_.size() + 1));
  std::sort(kept.begin(), kept.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kept, expected);
}

// Errors on a terminal wait for Enter, one prompt at a time, and the run waits for them; a
// second Ctrl+C ends a run whose worker does not stop.
TEST_F(ProgramTest, TerminalPromptsOneAtATimeAndASecondCtrlCEndsTheRun) {
  const std::string prompt = "Press Enter to continue";
  auto failing = Start("[FailedCheck]\nCPU=0,1\n", Probe({"FailedCheck"}), {.terminal = true});
  for (size_t prompts : {1u, 2u}) {
    ASSERT_TRUE(failing->ReadUntil(prompt, prompts)) << failing->output();
    EXPECT_FALSE(failing->ReadUntil(prompt, prompts + 1, 0.5));
    EXPECT_TRUE(failing->Running());
    EXPECT_EQ(failing->output().find("tests failed"), std::string::npos);
    failing->Type("\r");
  }
  ASSERT_TRUE(failing->ReadUntil("tests failed", 1, 10)) << failing->output();
  const ProcessResult failed = failing->Wait();
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_EQ(CountMatches(failed.output, "planted failure \\*\\*\\*\\]"), 4u);  // lines and frames
  EXPECT_TRUE(failed.output.ends_with("\r\nError: Some of the tests failed.\r\n")) << failed.output;
  auto deaf = Start("[Deaf]\nCPU=0\n", Probe({"Deaf"}), {.terminal = true});
  ASSERT_TRUE(deaf->ReadUntil("Loop 1 of 1"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the worker has started
  deaf->Type("\x03");
  EXPECT_FALSE(deaf->ReadUntil("interrupted", 1, 0.3));
  EXPECT_TRUE(deaf->Running());
  deaf->Type("\x03");
  EXPECT_EQ(deaf->Wait().signal, SIGINT);
}

// A system log that stopped reading (the test's listener, never drained) holds up nothing:
// ten errors a pass reach their verdict in seconds, every entry is delivered or counted, console
// and log say it once, and SIGTERM ends a stalled run at once.
TEST_F(ProgramTest, AStalledSystemLogHoldsUpNothing) {
  std::string ini = Off("Disk") + "[Disk]\nDrive=";
  for (int i = 0; i < 10; ++i) ini += dir_.File("absent" + std::to_string(i)) + ",";
  ini += "\n[Main]\nLoop=";
  auto finishing = Start(ini + "20\n");
  ASSERT_TRUE(finishing->ReadUntil("Some of the tests failed", 1, 30)) << finishing->output();
  EXPECT_EQ(CountMatches(finishing->Wait().output + Read("forgeval.Log"),
                         "Warning: the system log is not keeping up; error entries it cannot take "
                         "are left out of it and counted in the run record\n"),
            2u);
  const std::string record = Read("forgeval.results.jsonl");
  const auto dropped = nlohmann::json::parse(
      record.substr(record.rfind(R"({"record":"run_end")")))["syslog_dropped"];
  EXPECT_EQ(listener_.Drain(0).size() + dropped.get<size_t>(), 200u) << dropped;
  auto stalled = Start(ini + "100000\n");
  ASSERT_TRUE(stalled->ReadUntil("--- Loop 3 of", 1, 30)) << stalled->output();
  const auto signalled = std::chrono::steady_clock::now();
  stalled->Signal(SIGTERM);
  EXPECT_EQ(stalled->Wait().exit_code, 143);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(3));
}

// A run record on a full filesystem (a tiny tmpfs) stays as it was, with the warning; with
// room again every new line parses, and a file left without its last line feed gets one first.
TEST_F(ProgramTest, TheRunRecordKeepsWholeLinesOnAFullDisk) {
  const std::string folder = dir_.File("full"), record = folder + "/r.jsonl";
  std::filesystem::create_directory(folder);
  if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "no tmpfs mount here: " << strerror(errno);
  struct Unmount {  // also when an assertion ends the test early
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{folder};
  const std::string earlier = R"({"record":"earlier","text":")" + std::string(4000, 'x') + "\"}\n";
  WriteFile(record, earlier);
  WriteFile(folder + "/filler", std::string(15 * 4096, 'x'));  // every page but the record's
  const std::string ini = "[Main]\nResultFile=" + record + "\n" + kAllOff;
  EXPECT_TRUE(Contains(Run(ini).output, "\nWarning: the run record " + Escaped(record) +
                                            " cannot be written \\(No space left on device\\)"));
  EXPECT_EQ(ReadFile(record), earlier);
  std::filesystem::remove(folder + "/filler");
  for (const std::string cut : {"", "{\"record\":\"cut"}) {
    WriteFile(record, earlier + cut);
    EXPECT_EQ(Run(ini).exit_code, 0);
    std::istringstream lines(ReadFile(record));
    std::string kinds;
    for (std::string line; std::getline(lines, line);) {
      const auto parsed = nlohmann::json::parse(line, nullptr, false);
      kinds += (parsed.is_object() ? parsed.value("record", line) : line) + " ";
    }
    EXPECT_EQ(kinds, "earlier " + cut + (cut.empty() ? "" : " ") + "run_start run_end ");
  }
}

// A console pipe whose reader ends during the disk test ("| head -5") leaves the run to reach
// its verdict in log and record; SIGPIPE, SIGUSR1 and SIGALRM end nothing; a second SIGINT,
// SIGTERM or SIGHUP ends the run at once.
TEST_F(ProgramTest, BrokenPipesAndStraySignalsLoseNothing) {
  const ProcessResult headed =
      Run(Off("Disk") + "[Disk]\nDrive=" + drive_ + "\nSize=1\n",
          {"/bin/bash", "-c", "./forgeval | head -5; exit ${PIPESTATUS[0]}"});
  const std::string lines = "--- Loop 1 of 1 ---\nThread 0 : Writting 1GB on drive " + drive_ +
                            "/ ...\n~Warning: the console is gone (Broken pipe); the run goes on "
                            "with the log and the run record\n";
  EXPECT_EQ(headed.exit_code, 0);
  EXPECT_EQ(Normalized(headed.output), ConsoleOf(lines));
  EXPECT_TRUE(Normalized(Read("forgeval.Log")).starts_with(LogOf(lines, false)));
  EXPECT_TRUE(Normalized(Read("forgeval.results.jsonl"))
                  .ends_with(RunEnd(R"("All tests passed successfully.")", 0)));
  EXPECT_TRUE(TestFilesIn(drive_).empty());
  for (const auto& [first, second] :
       {std::pair{SIGINT, SIGTERM}, {SIGTERM, SIGHUP}, {SIGHUP, SIGINT}}) {
    auto deaf = Start("[Deaf]\nCPU=0\n", Probe({"Deaf"}));
    ASSERT_TRUE(deaf->ReadUntil("Loop 1 of 1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the worker has started
    for (int signal_number : {SIGPIPE, SIGUSR1, SIGALRM, first}) deaf->Signal(signal_number);
    EXPECT_FALSE(deaf->ReadUntil("interrupted", 1, 0.3) || !deaf->Running()) << first;
    deaf->Signal(second);
    EXPECT_EQ(deaf->Wait().signal, second);
  }
}

// Started with standard input, output and error closed, the program's files and sockets do not
// take their places: the log holds only log lines and the system log only the errors.
TEST_F(ProgramTest, ClosedStandardDescriptorsAreOpenedOnDevNull) {
  const std::string error =
      "[*** ERROR Thread 0 : Cannot write on " + dir_.File("absent/") + " drive ***]\n";
  EXPECT_EQ(Run("[Main]\nLoop=2\n" + Off("Disk") + "[Disk]\nDrive=" + dir_.File("absent") + "\n",
                {"/bin/sh", "-c", "exec ./forgeval <&- >&- 2>&-"})
                .exit_code,
            1);
  const std::string lines =
      "--- Loop 1 of 2 ---\n" + error + "--- Loop 2 of 2 ---\n" + error + kFailed;
  EXPECT_EQ(Normalized(Read("forgeval.Log")), LogOf(lines, true));
  EXPECT_EQ(Datagrams(), ErrorsOf(lines));
}

TEST_F(ProgramTest, HelpVersionAndUnknownOptions) {
  const ProcessResult help = Run("", {"forgeval", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.output.starts_with("Usage: forgeval [CONFIG]\n")) << help.output;
  for (const char* key :
       {"LogFile", "Loop", "Duration", "ResultFile", "MemSize", "ArraySize", "Drive", "130"})
    EXPECT_NE(help.output.find(key), std::string::npos) << key;
  EXPECT_EQ(Run("", {"forgeval", "-h"}).output, help.output);
  const ProcessResult version = Run("", {"forgeval", "--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output, "Forgeval 1.3\n");
  const ProcessResult unknown = Run("", {"forgeval", "--loop=3"});
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_EQ(unknown.output, "");
  EXPECT_TRUE(unknown.errors.starts_with("forgeval: unknown option '--loop=3'\n"));
  EXPECT_FALSE(FileExists(dir_.File("forgeval.Log")));  // a usage error runs nothing
}

// Without a configuration file every test runs once at its full default size: minutes. The
// missing default file is named once.
TEST_F(ProgramTest, SoakMissingConfigurationRunsOnePassWithDefaults) {
  TempDir elsewhere;
  const ProcessResult result = Run("", {"forgeval"}, {.working_dir = elsewhere.path()});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.output.starts_with(kBanner +
                                        "Warning: ./forgeval.ini cannot be read (No such file or "
                                        "directory); every setting takes its default\n"
                                        "--- Loop 1 of 1 ---\n"))
      << result.output;
  EXPECT_TRUE(result.output.ends_with(kPassed)) << result.output;
}

}  // namespace
}  // namespace forgeval::testing
