// MiniDumpWriteDump with MiniDumpWithDataSegs (the threads, their stacks, the modules and their
// data sections) and the exception information built from the fault's record and CONTEXT.
// dbghelp.dll is loaded from the system folder only, never from the program's or the current
// folder, where anyone who can write there could plant one for a program that runs as
// administrator.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// dbghelp.h needs the types of windows.h.
#include <dbghelp.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/minidump.h"

namespace forgeval::platform {
namespace {

static_assert(sizeof(CONTEXT) == FaultContext::kNativeContextBytes,
              "FaultContext::native_context holds one CONTEXT record");

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

MiniDumpWriteDumpFunction LoadWriter() {
  static const MiniDumpWriteDumpFunction writer = [] {
    HMODULE library = LoadLibraryExA("dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, sizeof folder);
    // Systems that lack the search flag take the full path.
    if (library == nullptr && length > 0 && length < sizeof folder)
      library = LoadLibraryA((std::string(folder, length) + "\\dbghelp.dll").c_str());
    const FARPROC address =
        library != nullptr ? GetProcAddress(library, "MiniDumpWriteDump") : nullptr;
    // Through void (*)() so that the compiler accepts the change of function type.
    return reinterpret_cast<MiniDumpWriteDumpFunction>(reinterpret_cast<void (*)()>(address));
  }();
  return writer;
}

// What the helper thread needs, and what it reports back.
struct DumpJob {
  MiniDumpWriteDumpFunction writer = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  bool has_exception = false;
  BOOL written = FALSE;
  DWORD error = 0;
};

DWORD WINAPI WriteOnHelperThread(void* raw_job) {
  auto* job = static_cast<DumpJob*>(raw_job);
  job->written =
      job->writer(GetCurrentProcess(), GetCurrentProcessId(), job->file, MiniDumpWithDataSegs,
                  job->has_exception ? &job->exception : nullptr, nullptr, nullptr);
  // The writer's failure comes back as an HRESULT made from a Win32 error.
  if (!job->written) job->error = GetLastError() & 0xFFFF;
  return 0;
}

int ErrnoOf(DWORD error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
}

}  // namespace

MinidumpResult WriteMinidump(int fd, const FaultRecord* record, const FaultContext* context) {
  MinidumpResult result;
  DumpJob job;
  job.writer = LoadWriter();
  job.file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (job.writer == nullptr || job.file == INVALID_HANDLE_VALUE) {
    result.error = job.writer == nullptr ? ENOSYS : EBADF;
    return result;
  }
  EXCEPTION_RECORD exception_record{};
  CONTEXT thread_context{};
  EXCEPTION_POINTERS pointers{&exception_record, &thread_context};
  DWORD thread_id = GetCurrentThreadId();
  if (record != nullptr && context != nullptr) {
    exception_record.ExceptionCode = record->code;
    exception_record.ExceptionAddress = reinterpret_cast<void*>(record->address);
    exception_record.NumberParameters = record->parameter_count < 2 ? record->parameter_count : 2;
    for (DWORD i = 0; i < exception_record.NumberParameters; ++i)
      exception_record.ExceptionInformation[i] = record->parameters[i];
    memcpy(&thread_context, context->native_context, sizeof thread_context);
    if (context->thread_id != 0) thread_id = static_cast<DWORD>(context->thread_id);
    job.has_exception = thread_context.ContextFlags != 0;
  } else {
    RtlCaptureContext(&thread_context);
    exception_record.ExceptionCode = EXCEPTION_BREAKPOINT;
    exception_record.ExceptionAddress = reinterpret_cast<void*>(thread_context.Rip);
    job.has_exception = true;
  }
  job.exception.ThreadId = thread_id;
  job.exception.ExceptionPointers = &pointers;
  job.exception.ClientPointers = FALSE;

  const HANDLE helper = CreateThread(nullptr, 0, &WriteOnHelperThread, &job, 0, nullptr);
  if (helper != nullptr) {
    WaitForSingleObject(helper, INFINITE);
    CloseHandle(helper);
  } else {
    WriteOnHelperThread(&job);  // no thread to be had: the last resort is this one's stack
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(job.file, &size)) result.file_bytes = static_cast<uint64_t>(size.QuadPart);
  result.written = job.written != FALSE;
  if (!result.written) result.error = ErrnoOf(job.error);
  return result;
}

}  // namespace forgeval::platform
