// What a process has made the devices read and write (/proc/<pid>/io), past the system cache.
#ifndef FORGEVAL_TESTS_SUPPORT_DEVICE_TRAFFIC_H_
#define FORGEVAL_TESTS_SUPPORT_DEVICE_TRAFFIC_H_

#include <unistd.h>

#include <cstdint>
#include <sstream>

#include "temp_dir.h"

namespace forgeval::testing {

struct DeviceTraffic {
  bool known = false;  // false where the kernel keeps no per-process I/O accounting
  uint64_t read_bytes = 0;
  uint64_t write_bytes = 0;
};

inline DeviceTraffic ProcessDeviceTraffic(pid_t pid = getpid()) {
  std::istringstream io(ReadFile("/proc/" + std::to_string(pid) + "/io"));
  DeviceTraffic traffic;
  std::string key;
  for (uint64_t value = 0; io >> key >> value;) {
    if (key == "read_bytes:") traffic.read_bytes = value, traffic.known = true;
    if (key == "write_bytes:") traffic.write_bytes = value;
  }
  return traffic;
}

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_DEVICE_TRAFFIC_H_
