// Worker threads as the dispatch needs them: started at once on a function that returns an
// unsigned exit code, pinned to one processor after the start, and joined. Errors are
// returned as errno values; nothing here prints.
#ifndef FORGEVAL_PLATFORM_THREAD_H_
#define FORGEVAL_PLATFORM_THREAD_H_

#include <pthread.h>

#include <cstdint>
#include <functional>

namespace forgeval::platform {

class WorkerThread {
 public:
  using Body = std::function<uint32_t()>;

  WorkerThread() = default;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Joins a thread that is still running.
  ~WorkerThread();

  // Starts the thread on `body`. Returns 0, or the error of pthread_create (EAGAIN when the
  // system lacks the resources for another thread).
  int Start(Body body);
  bool started() const { return started_; }

  // Restricts the running thread to processor `cpu`. Returns 0, or an errno value: EINVAL for
  // a processor this machine or this process does not have.
  int PinToProcessor(int cpu);

  // Waits for the thread to end and returns its exit code; 0 when it never started.
  uint32_t Join();

 private:
  struct StartRecord;
  pthread_t handle_{};
  bool started_ = false;
  bool joined_ = false;
  uint32_t exit_code_ = 0;
};

// Processors this process may run on (CPU_COUNT of sched_getaffinity).
int UsableProcessorCount();

// The processor the calling thread runs on right now.
int CurrentProcessor();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_THREAD_H_
