#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace forgeval::testing {

RunningProcess::RunningProcess(const std::vector<std::string>& argv,
                               const ProcessOptions& options) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (!options.terminal && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0))
    throw std::runtime_error("pipe failed");
  pid_ = options.terminal ? forkpty(&fds_[0], nullptr, nullptr, nullptr) : fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (!options.terminal) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    }
    if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) _exit(126);
    for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
    const rlimit limit{options.address_space_limit, options.address_space_limit};
    if (options.address_space_limit != 0 && setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (options.terminal) return;
  close(out[1]);
  close(err[1]);
  fds_[0] = out[0];
  fds_[1] = err[0];
}

RunningProcess::~RunningProcess() {
  if (!reaped_) Signal(SIGKILL), waitpid(pid_, nullptr, 0);
  for (int fd : fds_) close(fd);
}

void RunningProcess::Signal(int signal_number) {
  if (!reaped_) kill(pid_, signal_number);
}

void RunningProcess::Type(const std::string& keys) {
  if (write(fds_[0], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
    throw std::runtime_error("cannot type on the terminal");
}

bool RunningProcess::ReadSome(int timeout_ms) {
  pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  if (fds_[0] < 0 && fds_[1] < 0) return false;
  if (poll(polled, 2, timeout_ms) <= 0) return true;
  for (int i = 0; i < 2; ++i) {
    char buffer[4096];
    const ssize_t got = polled[i].revents == 0 ? 0 : read(fds_[i], buffer, sizeof buffer);
    if (got > 0) {
      (i == 0 ? result_.output : result_.errors).append(buffer, static_cast<size_t>(got));
    } else if (polled[i].revents != 0) {  // the end of a pipe, or EIO from a terminal left
      close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return true;
}

bool RunningProcess::ReadUntil(const std::string& text, size_t times, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  auto seen = [&] {
    size_t count = 0;
    for (size_t at = 0; (at = output().find(text, at)) != std::string::npos; ++at) ++count;
    return count;
  };
  while (seen() < times && std::chrono::steady_clock::now() < deadline && ReadSome(10)) {
  }
  return seen() >= times;
}

bool RunningProcess::Running() {
  siginfo_t info{};  // looked at, not reaped: Wait still gets the status
  return !reaped_ &&
         waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

ProcessResult RunningProcess::Wait() {
  while (ReadSome(-1)) {
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  reaped_ = true;
  result_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result_;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  return RunningProcess(argv, options).Wait();
}

}  // namespace forgeval::testing
