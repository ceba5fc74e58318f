// The event log: the source "Forgeval" in the application log, one error entry per reported
// error. ReportEventA does not block on a slow log service, so Send needs no wait of its own.
//
// The source's registry entry names the program's own file as its message file: the file
// carries a message table whose message 1 is "%1\r\n", so the event viewer shows an entry as
// its one string, the error text, followed by a line end. Writing that entry needs
// administrative rights; without them the source is still opened and every error still
// written (the viewer then shows the text under a note that the description is missing), since
// an error left out of the machine's log is an error lost.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/syslog_socket.h"

namespace forgeval::platform {
namespace {

constexpr const char* kSourceName = "Forgeval";
constexpr const char* kSourceKey = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\";
// The message of every entry: its one insertion string and a line end.
constexpr DWORD kErrorEventId = 1;
constexpr WORD kNoCategory = 0;
// Error, warning, information, audit success and audit failure.
constexpr DWORD kTypesSupported = 31;

void RegisterSourceInRegistry() {
  char program[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HKEY key = nullptr;
  const std::string path = std::string(kSourceKey) + kSourceName;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExA(key, "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(program),
                 length + 1);
  RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&kTypesSupported), sizeof kTypesSupported);
  RegCloseKey(key);
}

struct HeapFreer {
  void operator()(void* block) const { HeapFree(GetProcessHeap(), 0, block); }
};
using HeapBlock = std::unique_ptr<void, HeapFreer>;

// A copy of the reporting thread's user (the thread's own token when it impersonates, else
// the process's); null when it cannot be had, and the entry is then written without a user.
HeapBlock UserSid() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    if (GetLastError() != ERROR_NO_TOKEN ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
      return nullptr;
  }
  HeapBlock copy;
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, nullptr, 0, &size) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    HeapBlock user(HeapAlloc(GetProcessHeap(), 0, size));
    if (user && GetTokenInformation(token, TokenUser, user.get(), size, &size)) {
      PSID sid = static_cast<TOKEN_USER*>(user.get())->User.Sid;
      const DWORD sid_size = GetLengthSid(sid);
      copy.reset(HeapAlloc(GetProcessHeap(), 0, sid_size));
      if (copy && !CopySid(sid_size, copy.get(), sid)) copy.reset();
    }
  }
  CloseHandle(token);
  return copy;
}

}  // namespace

std::string SyslogSocketPath() {
  const char* configured = getenv(kSyslogSocketVariable);
  if (configured != nullptr && configured[0] != '\0') return configured;
  return kSourceName;
}

bool SyslogSocket::Connect(const std::string& path) {
  Close();
  RegisterSourceInRegistry();
  HANDLE source = RegisterEventSourceA(nullptr, kSourceName);
  if (source == nullptr) return false;
  fd_ = reinterpret_cast<intptr_t>(source);
  path_ = path;
  return true;
}

bool SyslogSocket::Send(std::string_view datagram, int) {
  if (fd_ < 0) return false;
  // The event log stamps time, source and process itself; the entry is the message alone.
  const size_t header_end = datagram.find("]: ");
  if (header_end != std::string_view::npos) datagram.remove_prefix(header_end + 3);
  const std::string message(datagram);
  const char* strings[] = {message.c_str()};
  const HeapBlock user = UserSid();
  if (ReportEventA(reinterpret_cast<HANDLE>(fd_), EVENTLOG_ERROR_TYPE, kNoCategory, kErrorEventId,
                   user.get(), 1, 0, strings, nullptr))
    return true;
  errno = EAGAIN;
  return false;
}

void SyslogSocket::Close() {
  if (fd_ >= 0) DeregisterEventSource(reinterpret_cast<HANDLE>(fd_));
  fd_ = -1;
}

}  // namespace forgeval::platform
