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
  if (options.terminal) {
    pid_ = forkpty(&out_, nullptr, nullptr, nullptr);
  } else {
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
  }
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
    if (options.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
      _exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (!options.terminal) {
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
}

RunningProcess::~RunningProcess() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

void RunningProcess::Signal(int signal_number) {
  if (!reaped_) kill(pid_, signal_number);
}

void RunningProcess::Type(const std::string& keys) {
  if (write(out_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
    throw std::runtime_error("cannot type on the terminal");
}

bool RunningProcess::ReadSome(int timeout_ms) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (out_ < 0 && err_ < 0) return false;
  if (poll(fds, 2, timeout_ms) <= 0) return true;
  std::string* sinks[2] = {&result_.output, &result_.errors};
  int* ends[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<size_t>(got));
    } else {  // the end of a pipe, or EIO once the terminal has no program any more
      close(fds[i].fd);
      *ends[i] = -1;
    }
  }
  return true;
}

bool RunningProcess::ReadUntil(const std::string& text, size_t times, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  auto count = [&] {
    size_t n = 0;
    for (size_t at = output().find(text); at != std::string::npos; at = output().find(text, at + 1))
      ++n;
    return n;
  };
  while (count() < times && std::chrono::steady_clock::now() < deadline && ReadSome(10)) {
  }
  return count() >= times;
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
  if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  return result_;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  return RunningProcess(argv, options).Wait();
}

}  // namespace forgeval::testing
