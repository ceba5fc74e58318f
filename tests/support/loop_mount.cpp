#include "loop_mount.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "run_process.h"

namespace forgeval::testing {
namespace {

// The first of the usual places that holds `tool`; empty when none does.
std::string FindTool(const std::string& tool) {
  for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string path = folder + tool;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// Runs a tool; empty on success, else what went wrong.
std::string Run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  ProcessResult result = RunProcess(argv, {});
  if (output != nullptr) *output = result.output;
  if (result.exit_code == 0) return "";
  return argv[0] + " failed (" + std::to_string(result.exit_code) + "): " + result.errors;
}

}  // namespace

LoopMount::LoopMount(const LoopMountOptions& options) {
  if (geteuid() != 0) {
    skip_reason_ = "mounting a loop device needs root";
    return;
  }
  const std::string mkfs = FindTool("mkfs.ext4");
  const std::string losetup = FindTool("losetup");
  const std::string mount = FindTool("mount");
  if (mkfs.empty() || losetup.empty() || mount.empty() || FindTool("umount").empty()) {
    skip_reason_ = "needs mkfs.ext4, losetup, mount and umount";
    return;
  }
  if (access("/dev/loop-control", R_OK | W_OK) != 0) {
    skip_reason_ = "this machine has no loop devices (/dev/loop-control)";
    return;
  }
  const std::string image = dir_.File("fs.img");
  WriteFile(image, "");
  if (truncate(image.c_str(), static_cast<off_t>(options.image_bytes)) != 0) {
    skip_reason_ = "cannot make the image file";
    return;
  }
  std::vector<std::string> format{mkfs, "-q", "-F", "-m", "0"};
  if (options.inodes > 0) {
    format.insert(format.end(), {"-N", std::to_string(options.inodes)});
  }
  format.push_back(image);
  if (std::string error = Run(format); !error.empty()) {
    skip_reason_ = error;
    return;
  }
  std::string device;
  if (std::string error = Run({losetup, "--find", "--show", image}, &device); !error.empty()) {
    skip_reason_ = "no loop device: " + error;
    return;
  }
  device_ = device.substr(0, device.find('\n'));
  mkdir(path().c_str(), 0755);
  std::vector<std::string> attach{mount};
  if (options.read_only) attach.insert(attach.end(), {"-o", "ro"});
  attach.insert(attach.end(), {device_, path()});
  if (std::string error = Run(attach); !error.empty()) {
    skip_reason_ = error;
    return;
  }
  mounted_ = true;
}

LoopMount::~LoopMount() {
  if (mounted_) Run({FindTool("umount"), path()});
  if (!device_.empty()) Run({FindTool("losetup"), "-d", device_});
}

uint64_t LoopMount::AvailableBytes() const {
  struct statvfs info;
  if (statvfs(path().c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

uint64_t LoopMount::DeviceStat(int field) const {
  // /sys/block/loopN/stat: reads, merges, sectors read, ticks, writes, merges, sectors
  // written, ...
  std::istringstream stat(
      ReadFile("/sys/block/" + device_.substr(device_.rfind('/') + 1) + "/stat"));
  uint64_t value = 0;
  for (int i = 0; i <= field && (stat >> value); ++i) {
  }
  return value;
}

}  // namespace forgeval::testing
