// One sample of the health check's sampling thread (every temperature and processor
// frequency, read once a second during the run), on a tree of 64 processors and 16 sensors:
// its time per second is the share of one processor the sampler takes from the tests.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "run/health_check.h"

namespace {

void Put(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

void BM_HealthSample(benchmark::State& state) {
  char pattern[] = "/tmp/fgv-health.XXXXXX";
  const std::string root = mkdtemp(pattern) ? pattern : "/tmp/fgv-health";
  for (int cpu = 0; cpu < 64; ++cpu)
    Put(root + "/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/scaling_cur_freq",
        "2400000\n");
  for (int sensor = 0; sensor < 16; ++sensor) {
    const std::string hwmon = root + "/class/hwmon/hwmon" + std::to_string(sensor) + "/";
    Put(hwmon + "name", "coretemp\n");
    Put(hwmon + "temp1_input", "45000\n");
    Put(hwmon + "temp1_label", "Core " + std::to_string(sensor) + "\n");
    Put(hwmon + "temp1_crit", "100000\n");
  }
  {
    forgeval::HealthCheck check({}, {root, root, root + "/kmsg", std::nullopt}, {});
    check.Start(/*sample=*/false);
    for (auto _ : state) check.Sample();
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_HealthSample)->Unit(benchmark::kMicrosecond);

}  // namespace
