#include "platform/thread.h"

#include <sched.h>

#include <cstring>
#include <memory>

namespace forgeval::platform {

struct WorkerThread::StartRecord {
  Body body;
  uint32_t* exit_code;

  static void* Run(void* raw) {
    std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(raw));
    *start->exit_code = start->body();
    return nullptr;
  }
};

WorkerThread::~WorkerThread() { Join(); }

int WorkerThread::Start(Body body) {
  auto start = std::make_unique<StartRecord>(StartRecord{std::move(body), &exit_code_});
  int error = pthread_create(&handle_, nullptr, &StartRecord::Run, start.get());
  if (error != 0) return error;
  start.release();  // The thread owns it now.
  started_ = true;
  return 0;
}

int WorkerThread::PinToProcessor(int cpu) {
  if (!started_ || cpu < 0 || cpu >= CPU_SETSIZE) return EINVAL;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(static_cast<size_t>(cpu), &set);
  return pthread_setaffinity_np(handle_, sizeof set, &set);
}

uint32_t WorkerThread::Join() {
  if (started_ && !joined_) {
    pthread_join(handle_, nullptr);
    joined_ = true;
  }
  return exit_code_;
}

int UsableProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

int CurrentProcessor() { return sched_getcpu(); }

}  // namespace forgeval::platform
