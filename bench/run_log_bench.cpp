// The cost of the reporting paths that every test step takes: one run-log line (open,
// append, close under the lock) and one configuration read. Neither sits in a test's inner
// loop; these figures show what a progress step costs.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "report/run_log.h"
#include "run/ini_file.h"

namespace {

std::string MakeTempDir() {
  char pattern[] = "/tmp/fgv-bench.XXXXXX";
  return mkdtemp(pattern) ? pattern : "/tmp";
}

void BM_LogThreadMessage(benchmark::State& state) {
  const std::string dir = MakeTempDir();
  {
    forgeval::RunLog log;
    log.Open(dir, "bench.Log");
    log.SetTimestamps(true);
    for (auto _ : state) {
      benchmark::DoNotOptimize(forgeval::LogThreadMessage(0, "Testing DRAM Arrays... block %d", 7));
    }
  }
  unlink((dir + "/bench.Log").c_str());
  rmdir(dir.c_str());
}
BENCHMARK(BM_LogThreadMessage);

void BM_IniReadInt(benchmark::State& state) {
  const std::string dir = MakeTempDir();
  const std::string path = dir + "/forgeval.ini";
  std::ofstream(path) << "[Main]\nLoop=1\n[Memory]\nCPU=0,1\nMemSize=4\n[Disk]\nSize=40\n";
  forgeval::IniFile ini;
  ini.SetPath(path);
  for (auto _ : state) benchmark::DoNotOptimize(ini.ReadInt("Disk", "Size", 40));
  unlink(path.c_str());
  rmdir(dir.c_str());
}
BENCHMARK(BM_IniReadInt);

}  // namespace

BENCHMARK_MAIN();
