#include "platform/smart_status.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/files.h"

extern char** environ;

namespace forgeval::platform {

std::optional<std::string> FindSmartctl() {
  const char* named = std::getenv(kSmartctlVariable);
  if (named != nullptr && *named != '\0')
    return access(named, X_OK) == 0 ? std::optional<std::string>(named) : std::nullopt;
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/smartctl";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> DiskOfFolder(const std::string& folder, const std::string& sys_root) {
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return std::nullopt;
  const std::string block = sys_root + "/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                            std::to_string(minor(info.st_dev));
  std::error_code error;
  std::filesystem::path device = std::filesystem::canonical(block, error);
  if (error) return std::nullopt;
  // A partition's folder lies inside its disk's folder.
  if (std::filesystem::exists(device / "partition")) device = device.parent_path();
  return "/dev/" + device.filename().string();
}

std::optional<SmartctlResult> RunSmartctl(const std::string& program, const std::string& device,
                                          std::chrono::milliseconds limit) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const char* argv[] = {program.c_str(), "-j", "-a", device.c_str(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  write_end = UniqueFd();
  SmartctlResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool in_time = true;
  char buffer[8192];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{.fd = read_end.get(), .events = POLLIN, .revents = 0};
    const int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      in_time = false;
      kill(pid, SIGKILL);
      break;
    }
    if (polled < 0) break;
    const ssize_t got = read(read_end.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!in_time || !WIFEXITED(status)) return std::nullopt;
  result.exit_status = WEXITSTATUS(status);
  return result;
}

}  // namespace forgeval::platform
