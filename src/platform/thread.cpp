// Starting and joining a worker: POSIX threads on both systems (the Windows toolchain's
// winpthreads, on which its std::thread is built too); pinning is each system's own.
#include "platform/thread.h"

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

uint32_t WorkerThread::Join() {
  if (started_ && !joined_) {
    pthread_join(handle_, nullptr);
    joined_ = true;
  }
  return exit_code_;
}

}  // namespace forgeval::platform
