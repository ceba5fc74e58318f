#include "run/health_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <map>

#include "platform/smart_status.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using Files = std::map<std::string, std::string>;  // path below the fixture root: content

void Put(const TempDir& dir, const Files& files) {
  for (const auto& [path, content] : files) {
    std::filesystem::create_directories(std::filesystem::path(dir.File(path)).parent_path());
    WriteFile(dir.File(path), content);
  }
}

std::string Interrupts(int columns, const std::map<std::string, int>& rows) {
  std::string text = " ";
  for (int cpu = 0; cpu < columns; ++cpu) text += "      CPU" + std::to_string(cpu);
  text += "\n  0:" + std::string(static_cast<size_t>(columns) * 2, ' ') + "IO-APIC 2-edge timer\n";
  for (const auto& [row, count] : rows) {  // in the first and last column
    text += row + ":";
    for (int cpu = 0; cpu < columns; ++cpu)
      text += " " + std::to_string(cpu == 0 || cpu + 1 == columns ? count : 1);
    text += "   Some description 7\n";
  }
  return text;
}

const std::string kMc = "sys/devices/system/edac/mc/";
const std::string kCpu = "sys/devices/system/cpu/";
const std::string kPci = "sys/bus/pci/devices/0000:03:00.0/";
const std::string kDuring = "during the Memory test, pass 2";

// Each family's fixture trees before and after a test: catches a misread layout, a wrong
// count, place, rule or text, a reset reported as a negative count or twice, and an absent
// source named as found.
TEST(HealthCheckTest, CounterSourcesTurnTheirChangesIntoEvents) {
  struct Case {
    const char* name;
    Files before, after;
    std::vector<std::string> found;   // the start line's found sources
    std::vector<std::string> events;  // "E " failing, "W " warning, then the text's middle
    HealthSettings settings = {};
    std::string summary = "";  // the run_end summary's dump, when checked
  };
  const Files dimms = {{kMc + "mc0/ce_count", "0"},
                       {kMc + "mc0/ue_count", "0"},
                       {kMc + "mc0/ce_noinfo_count", "0"},
                       {kMc + "mc0/ue_noinfo_count", "0"},
                       {kMc + "mc0/dimm0/dimm_ce_count", "0"},
                       {kMc + "mc0/dimm0/dimm_ue_count", "0"},
                       {kMc + "mc0/dimm0/dimm_label", "DIMM_A1\n"},
                       {kMc + "mc0/dimm1/dimm_ce_count", "5"},
                       {kMc + "mc0/dimm1/dimm_ue_count", "0"},
                       {kMc + "mc0/dimm1/dimm_label", ""}};
  const Files csrows = {{kMc + "mc0/power/async", "disabled"},
                        {kMc + "mc1/ce_count", "0"},
                        {kMc + "mc1/ue_count", "0"},
                        {kMc + "mc1/csrow0/ue_count", "0"},
                        {kMc + "mc1/csrow0/ch0_ce_count", "0"},
                        {kMc + "mc1/csrow0/ch0_dimm_label", "CPU0_B0"},
                        {kMc + "mc1/csrow0/ch1_ce_count", "0"}};
  const Files thermal = {{kCpu + "cpu0/thermal_throttle/core_throttle_count", "0"},
                         {kCpu + "cpu0/thermal_throttle/package_throttle_count", "7"},
                         {kCpu + "cpu1/thermal_throttle/core_throttle_count", ""},
                         {kCpu + "cpu0/cpufreq/scaling_cur_freq", "2400000"},
                         {kCpu + "cpu1/cpufreq/scaling_cur_freq", "1200000"},
                         {"sys/class/hwmon/hwmon0/name", "coretemp\n"},
                         {"sys/class/hwmon/hwmon0/temp1_input", "45000"},
                         {"sys/class/hwmon/hwmon0/temp1_label", "Core 0\n"},
                         {"sys/class/hwmon/hwmon0/temp1_crit", "100000"}};
  const Files hot = {{kCpu + "cpu0/thermal_throttle/core_throttle_count", "4"},
                     {"sys/class/hwmon/hwmon0/temp1_input", "101000"}};
  // clang-format off
  Case cases[] = {
    {"dimm layout", dimms, {{kMc + "mc0/dimm0/dimm_ce_count", "3"}, {kMc + "mc0/dimm1/dimm_ue_count", "1"}, {kMc + "mc0/ce_noinfo_count", "1"}},
     {"memory ECC (1 controller, 2 modules)"},
     {"E 3 corrected memory errors on mc0 (DIMM_A1)", "E 1 uncorrected memory error on mc0 (dimm1)", "E 1 corrected memory error on mc0 (no module named)"}, {},
     R"({"events":3,"failing_events":3,"corrected_memory_errors":4,"uncorrected_memory_errors":1,"highest_temperature_c":null,"throttle_count":null,"frequency_mhz":null,"smart":null})"},
    {"rank layout, 2 allowed", {{kMc + "mc0/ce_count", "0"}, {kMc + "mc0/ue_count", "0"}, {kMc + "mc0/rank0/dimm_ce_count", "1"}, {kMc + "mc0/rank0/dimm_label", "P0_A"}},
     {{kMc + "mc0/rank0/dimm_ce_count", "3"}}, {"memory ECC (1 controller, 1 module)"}, {"W 2 corrected memory errors on mc0 (P0_A)"}, {.max_corrected_memory_errors = 2}},
    {"a counter that goes down", dimms, {{kMc + "mc0/dimm1/dimm_ce_count", "0"}}, {"memory ECC (1 controller, 2 modules)"},
     {"W the counter mc0/dimm1/dimm_ce_count went down from 5 to 0 (a reset or driver reload)"}},
    {"legacy csrows beside an mc folder without a controller", csrows,
     {{kMc + "mc1/csrow0/ch0_ce_count", "1"}, {kMc + "mc1/csrow0/ch1_ce_count", "2"}, {kMc + "mc1/csrow0/ue_count", "1"}},
     {"memory ECC (1 controller, 2 modules)"},
     {"E 1 corrected memory error on mc1 (CPU0_B0)", "E 2 corrected memory errors on mc1 (csrow0 ch1)", "E 1 uncorrected memory error on mc1 (csrow0)"}},
    {"no controller", {{kMc + "power/async", "x"}}, {}, {}, {}},
    {"2 processors", {{"proc/interrupts", Interrupts(2, {{"MCE", 0}, {"THR", 0}, {"DFR", 1}, {"MCP", 1}})}},
     {{"proc/interrupts", Interrupts(2, {{"MCE", 1}, {"THR", 5}, {"DFR", 1}, {"MCP", 9}})}}, {"machine-check counters"},
     {"E 2 machine-check exceptions (MCE)", "W 10 corrected-error interrupts (THR)"}},
    {"64 processors, DFR only", {{"proc/interrupts", Interrupts(64, {{"DFR", 1}})}}, {{"proc/interrupts", Interrupts(64, {{"DFR", 3}})}},
     {"machine-check counters"}, {"E 4 deferred machine-check errors (DFR)"}},
    {"no machine-check rows", {{"proc/interrupts", Interrupts(2, {{"NMI", 0}})}}, {{"proc/interrupts", Interrupts(2, {{"NMI", 5}})}}, {}, {}},
    {"AER names with blanks", {{kPci + "aer_dev_correctable", "RxErr 0\nBad TLP 0\nTOTAL_ERR_COR 0\n"}, {kPci + "aer_dev_fatal", "Data Link Protocol 0\nTOTAL_ERR_FATAL 0\n"},
                               {kPci + "aer_dev_nonfatal", "Poisoned TLP 0\nCompleter Abort 0\n"}},
     {{kPci + "aer_dev_correctable", "RxErr 0\nBad TLP 2\nTOTAL_ERR_COR 2\n"}, {kPci + "aer_dev_fatal", "Data Link Protocol 1\nTOTAL_ERR_FATAL 1\n"},
      {kPci + "aer_dev_nonfatal", "Poisoned TLP 1\nCompleter Abort 2\n"}},
     {"PCIe AER (1 device)"},
     {"W 2 correctable PCIe errors on 0000:03:00.0", "E 3 non-fatal PCIe errors on 0000:03:00.0", "E 1 fatal PCIe error on 0000:03:00.0"}},
    {"throttling and heat warn", thermal, hot, {"temperatures (1 sensor)", "throttle counters", "processor frequencies"},
     {"W 4 thermal throttling events on cpu0 core", "W temperature of coretemp Core 0 reached 101 °C, at or over its critical mark of 100 °C"}, {},
     R"({"events":2,"failing_events":0,"corrected_memory_errors":null,"uncorrected_memory_errors":null,"highest_temperature_c":{"coretemp Core 0":101.0},"throttle_count":4,"frequency_mhz":{"lowest":1200.0,"highest":2400.0},"smart":null})"},
    {"throttling as an error", thermal, hot, {"temperatures (1 sensor)", "throttle counters", "processor frequencies"},
     {"E 4 thermal throttling events on cpu0 core", "E temperature of coretemp Core 0 reached 101 °C, at or over its critical mark of 100 °C"}, {.throttling_is_error = true}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Put(dir, c.before);
    HealthCheck check(c.settings,
                      {dir.File("sys"), dir.File("proc"), dir.File("kmsg"), std::nullopt}, {});
    check.Start(/*sample=*/true);  // the sampler runs beside the checks where it has work
    EXPECT_EQ(check.Sources()["found"], RecordJson(c.found));
    Put(dir, c.after);
    std::vector<std::string> events;
    for (const HealthEvent& event : check.Check(kDuring).events) {
      EXPECT_TRUE(event.text.ends_with(" " + kDuring + " ***]")) << event.text;
      const std::string start = event.fails ? "[***HARDWARE ERROR: " : "[***HARDWARE WARNING: ";
      EXPECT_TRUE(event.text.starts_with(start)) << event.text;
      events.push_back(
          (event.fails ? "E " : "W ") +
          event.text.substr(start.size(), event.text.size() - start.size() - kDuring.size() - 6));
    }
    EXPECT_EQ(events, c.events);
    EXPECT_TRUE(check.Check(kDuring).events.empty());  // each change is reported once
    if (!c.summary.empty()) {
      EXPECT_EQ(check.Summary().dump(), c.summary);
    }
  }
}

// Records as /dev/kmsg gives them, one read each, and the EPIPE of an overwritten ring.
class ScriptedKernelLog : public platform::KernelLog {
 public:
  std::deque<std::string> reads;  // "EPIPE" fails the read
 protected:
  ssize_t ReadChunk(char* buffer, size_t size) override {
    if (reads.empty()) {
      errno = EAGAIN;
      return -1;
    }
    std::string next = reads.front();
    reads.pop_front();
    if (next == "EPIPE") {
      errno = EPIPE;
      return -1;
    }
    next.copy(buffer, size);
    return static_cast<ssize_t>(next.size());
  }
};

// Catches a dictionary line taken for a record, a continued fragment lost, an overwritten
// ring not reported, and the wrong rule for a kernel line.
TEST(HealthCheckTest, KernelLogRecordsSinceTheStartAreQuotedAndJudged) {
  ScriptedKernelLog log;
  log.reads = {"6,100,5,-;usb 1-1: new device\n SUBSYSTEM=usb\n",
               "3,101,6,c;mce: [Hardware Error]: CPU 0: Machine Check: 0 Bank 5:\n",
               "3,102,6,+; be00000000800400\n", "EPIPE", "4,140,9,-;EDAC MC0: 1 CE on DIMM_A1\n"};
  const platform::KernelLogNews news = log.ReadNew();
  ASSERT_EQ(news.records.size(), 3u);
  EXPECT_EQ(news.records[1].text,
            "mce: [Hardware Error]: CPU 0: Machine Check: 0 Bank 5: be00000000800400");
  EXPECT_EQ(news.records[2].level, 4);
  EXPECT_TRUE(news.overwritten);
  EXPECT_EQ(news.lost, 37u);

  // Through the check, on a plain file written after the start: only new records count.
  TempDir dir;
  WriteFile(dir.File("kmsg"), "3,1,1,-;I/O error, dev sda, sector 8 (before the run)\n");
  HealthCheck check({}, {dir.File("sys"), dir.File("proc"), dir.File("kmsg"), std::nullopt}, {});
  check.Start(false);
  EXPECT_EQ(check.Sources()["found"], RecordJson({"kernel log"}));
  std::string records;
  for (int i = 4; i < 32; ++i)
    records += "3," + std::to_string(i) + ",1,-;blk_update_request: I/O error, dev sdb, sector " +
               std::to_string(i) + "\n";
  WriteFile(dir.File("kmsg"), ReadFile(dir.File("kmsg")) + "6,2,1,-;e1000: link up\n" +
                                  "4,3,1,-;pcieport 0000:00:1c.0: PCIe Bus Error: "
                                  "severity=Corrected, type=Physical Layer\n" +
                                  records + "3,32,1,-;EDAC MC0: 1 UE on DI");
  const HealthChange change = check.Check(kDuring);
  ASSERT_EQ(change.events.size(), 21u);
  EXPECT_EQ(change.events[0].text,
            "[***HARDWARE WARNING: kernel: \"pcieport 0000:00:1c.0: PCIe Bus Error: "
            "severity=Corrected, type=Physical Layer\" " +
                kDuring + " ***]");
  EXPECT_TRUE(change.events[1].fails);
  EXPECT_EQ(change.events[20].text,
            "[***HARDWARE ERROR: 9 more kernel hardware lines " + kDuring + " ***]");
  EXPECT_EQ(change.kernel_lines.size(), 20u);
  WriteFile(dir.File("kmsg"), ReadFile(dir.File("kmsg")) + "MM\n");  // the last line is finished
  const HealthChange rest = check.Check(kDuring);
  ASSERT_EQ(rest.events.size(), 1u);
  EXPECT_EQ(rest.kernel_lines, std::vector<std::string>{"EDAC MC0: 1 UE on DIMM"});
  EXPECT_TRUE(rest.events[0].fails);
}

std::string AtaJson(int pending, bool passed) {
  return R"({"smart_status":{"passed":)" + std::string(passed ? "true" : "false") +
         R"(},"ata_smart_attributes":{"table":[{"id":5,"name":"Reallocated_Sector_Ct","raw":{"value":2}},{"id":9,"raw":{"value":1234}},{"id":197,"raw":{"value":)" +
         std::to_string(pending) + "}}]}}";
}

// smartctl before and after the run, through a fake program printing fixture JSON with the
// chosen exit bits: catches a wrong disk, a rise missed, a missing device taken as healthy.
TEST(HealthCheckTest, SmartComparesTheDisksBeforeAndAfterTheRun) {
  struct Case {
    const char* name;
    const char* disk;  // under the fixture's /sys/dev/block link; "" a partition of sdz
    std::string before_json, after_json;
    int exit_bits;
    std::string source;  // as the start line names it
    std::vector<std::string> events;
    std::string figures = "";  // the summary's smart part
  };
  // clang-format off
  Case cases[] = {
    {"ATA pending sectors rise", "", AtaJson(0, true), AtaJson(8, true), 0, "SMART (1 disk)",
     {"[***HARDWARE ERROR: SMART of /dev/sdz: current_pending_sectors rose from 0 to 8 over the run ***]"},
     R"({"/dev/sdz":{"before":{"passed":true,"reallocated_sectors":2,"current_pending_sectors":0},"after":{"passed":true,"reallocated_sectors":2,"current_pending_sectors":8}}})"},
    {"ATA health failing", "", AtaJson(0, true), AtaJson(0, false), 8, "SMART (1 disk)",
     {"[***HARDWARE ERROR: SMART of /dev/sdz reports its health as failing after the run ***]"}},
    {"NVMe media errors rise", "nvme0n1", R"({"nvme_smart_health_information_log":{"critical_warning":0,"media_errors":1}})",
     R"({"nvme_smart_health_information_log":{"critical_warning":0,"media_errors":3}})", 0, "SMART (1 disk)",
     {"[***HARDWARE ERROR: SMART of /dev/nvme0n1: media_errors rose from 1 to 3 over the run ***]"}},
    {"no device type", "loop7", R"({"smartctl":{"messages":[{"string":"/dev/loop7: Unable to detect device type","severity":"error"}],"exit_status":1}})",
     "", 1, "SMART (no SMART device)", {}, "null"},
    {"a field of another type", "sdy", R"({"smart_status":{"passed":"yes"}})", "", 0, "SMART (no SMART device)", {}, "null"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string drive = dir.File("drive");
    std::filesystem::create_directory(drive);
    struct stat info;
    ASSERT_EQ(stat(drive.c_str(), &info), 0);
    const std::string disk = *c.disk ? c.disk : "sdz/sdz2";
    Put(dir, {{"sys/devices/virtual/block/" + disk + "/size", "8"}});
    if (!*c.disk) Put(dir, {{"sys/devices/virtual/block/sdz/sdz2/partition", "2"}});
    std::filesystem::create_directories(dir.File("sys/dev/block"));
    std::filesystem::create_symlink(dir.File("sys/devices/virtual/block/" + disk),
                                    dir.File("sys/dev/block/" + std::to_string(major(info.st_dev)) +
                                             ":" + std::to_string(minor(info.st_dev))));
    const std::string smartctl = dir.File("smartctl");
    WriteFile(smartctl,
              "#!/bin/sh\necho \"$@\" >>\"$0.args\"\ncat \"$0.json\"\nexit $(cat \"$0.exit\")\n");
    std::filesystem::permissions(smartctl, std::filesystem::perms::owner_all);
    WriteFile(smartctl + ".json", c.before_json);
    WriteFile(smartctl + ".exit", std::to_string(c.exit_bits & 3));
    HealthCheck none({}, {dir.File("sys"), dir.File("proc"), dir.File("kmsg"), std::nullopt},
                     {drive});
    none.Start(false);
    EXPECT_EQ(none.Sources()["unavailable"][4], "SMART (no smartctl)");
    // Two folders on one disk: it is read once.
    HealthCheck check({}, {dir.File("sys"), dir.File("proc"), dir.File("kmsg"), smartctl},
                      {drive, drive + "/"});
    check.Start(false);
    const RecordJson sources = check.Sources();
    EXPECT_NE(
        (sources["found"].dump() + sources["unavailable"].dump()).find("\"" + c.source + "\""),
        std::string::npos)
        << sources.dump();
    WriteFile(smartctl + ".json", c.after_json);
    WriteFile(smartctl + ".exit", std::to_string(c.exit_bits));
    std::vector<std::string> events;
    for (const HealthEvent& event : check.Finish().events) events.push_back(event.text);
    EXPECT_EQ(events, c.events);
    const std::string device = "-j -a /dev/" + disk.substr(0, disk.find('/')) + "\n";
    EXPECT_EQ(ReadFile(smartctl + ".args"), c.after_json.empty() ? device : device + device);
    if (!c.figures.empty()) {
      EXPECT_EQ(check.Summary()["smart"].dump(), c.figures);
    }
  }
  // The program is looked up on PATH unless the variable names one.
  TempDir bin;
  WriteFile(bin.File("smartctl"), "#!/bin/sh\n");
  std::filesystem::permissions(bin.File("smartctl"), std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH");
  setenv("PATH", ("/nonexistent:" + bin.path() + ":" + path).c_str(), 1);
  EXPECT_EQ(platform::FindSmartctl(), bin.File("smartctl"));
  setenv(platform::kSmartctlVariable, bin.File("absent").c_str(), 1);
  EXPECT_EQ(platform::FindSmartctl(), std::nullopt);
  unsetenv(platform::kSmartctlVariable);
  setenv("PATH", path.c_str(), 1);
  // A smartctl that hangs on its disk is ended at its time limit and the disk read as unreadable.
  WriteFile(bin.File("smartctl"), "#!/bin/sh\necho '{'\nexec sleep 30\n");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::RunSmartctl(bin.File("smartctl"), "/dev/sda", std::chrono::milliseconds(300)),
            std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace forgeval
