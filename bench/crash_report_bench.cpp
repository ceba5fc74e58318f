// The cost of the crash report, paid once per run at the first fault: writing CRASH.DMP (an
// ELF core of this process, synced and renamed into place) and writing ERRORLOG.TXT's text
// through the 8,192-byte buffer compared with one write-through write per line.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fault/core_dump.h"
#include "fault/crash_report.h"
#include "fault/system_info.h"
#include "platform/fault_signals.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

using forgeval::ReportFile;

// Beside the program, where the crash files are written.
std::string BenchFile(const char* name) { return forgeval::platform::ProgramFolder() + "/" + name; }

void FaultHere(void*) { *static_cast<volatile int*>(nullptr) = 1; }

void BM_CrashDump(benchmark::State& state) {
  forgeval::platform::ThreadFaultGuard guard;
  forgeval::platform::FaultPointers pointers;
  if (forgeval::platform::RunGuarded(&FaultHere, nullptr, &pointers)) {
    state.SkipWithError("the fault did not happen");
    return;
  }
  const std::string path = BenchFile("bench-CRASH.DMP");
  forgeval::CoreDumpSummary summary;
  for (auto _ : state) {
    forgeval::platform::ReplacementFile file(path);
    summary = forgeval::WriteCrashDump(file.fd(), &pointers);
    file.Commit();
  }
  unlink(path.c_str());
  state.counters["file_MB"] = static_cast<double>(summary.file_bytes) / 1e6;
  state.counters["contents_MB"] = static_cast<double>(summary.contents_bytes) / 1e6;
  state.counters["segments"] = static_cast<double>(summary.segments);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(summary.contents_bytes));
}
BENCHMARK(BM_CrashDump)->Unit(benchmark::kMillisecond);

// The lines of this process's machine description and module list.
std::vector<std::string> ReportLines() {
  const std::string path = BenchFile("bench-lines.TXT");
  {
    forgeval::platform::UniqueFd file = forgeval::platform::OpenForAppend(path);
    ReportFile report(file.get());
    forgeval::WriteSystemSection(report, forgeval::platform::RealSystemQueries());
    forgeval::WriteModuleList(report, forgeval::platform::RealSystemQueries());
    forgeval::FlushReportText(report);
  }
  const std::string text = forgeval::platform::ReadWholeFile(path).value_or("");
  unlink(path.c_str());
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at + 2));
  return lines;
}

template <bool kBuffered>
void BM_ReportText(benchmark::State& state) {
  const std::vector<std::string> lines = ReportLines();
  const std::string path = BenchFile("bench-ERRORLOG.TXT");
  forgeval::platform::UniqueFd file = forgeval::platform::OpenForAppend(path, true);
  for (auto _ : state) {
    if (kBuffered) {
      ReportFile report(file.get());
      for (const std::string& line : lines) forgeval::AppendReportText(report, "%s", line.c_str());
      forgeval::FlushReportText(report);
    } else {
      for (const std::string& line : lines) forgeval::platform::WriteAll(file.get(), line);
    }
    state.PauseTiming();
    forgeval::platform::SetFileSize(file.get(), 0);
    state.ResumeTiming();
  }
  unlink(path.c_str());
  state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_ReportText<true>)->Name("BM_ReportText/buffered")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReportText<false>)
    ->Name("BM_ReportText/line_per_write")
    ->Unit(benchmark::kMicrosecond);

}  // namespace
