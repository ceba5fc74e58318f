// The disk worker's thread argument: one record per "Drive" entry, filled by the worker
// dispatch and unchanged while the workers of the test run.
#ifndef FORGEVAL_STRESS_DISK_WORKER_ARGS_H_
#define FORGEVAL_STRESS_DISK_WORKER_ARGS_H_

#include <cstdint>
#include <string>

namespace forgeval {

struct DiskWorkerArgs {
  std::string drive_root;  // the drive's folder, ending in one separator (platform::DriveRoot)
  int32_t worker_index = 0;
  int32_t size = 0;  // the "Size" setting, 40 when missing or empty
};

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_DISK_WORKER_ARGS_H_
