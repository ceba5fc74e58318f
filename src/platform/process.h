// Facts about the running process that the rest of the program needs from the operating
// system: where the program's own file lies (the log and the crash files are written beside
// it) and its process id. Thread-safe; nothing is cached.
#ifndef FORGEVAL_PLATFORM_PROCESS_H_
#define FORGEVAL_PLATFORM_PROCESS_H_

#include <string>

namespace forgeval::platform {

// Full path of the running program's file (readlink of /proc/self/exe); empty when the
// kernel cannot tell.
std::string ProgramPath();

// Folder part of a path: everything before its last '/', or before its last '\' when it has
// no '/'; empty when it has neither.
std::string FolderOf(const std::string& path);

// FolderOf(ProgramPath()).
std::string ProgramFolder();

// The separator between a path's folders: '/' here, '\' on Windows.
char PathSeparator();

// Returns `path` with either slash turned into PathSeparator(), so that Windows-era
// configuration values (".\forgeval.Log") name the same files on Linux, and Linux-style ones
// the same files on Windows.
std::string NativePath(std::string path);

// True for a path that names its file without a folder to start from: "/..." here, also
// "C:..." and "\\server\..." (with either slash) on Windows.
bool IsAbsolutePath(const std::string& path);

// A file name from the configuration, as a path: either slash read as PathSeparator(), an
// absolute name used as given, any other joined to `folder`.
std::string PathInFolder(const std::string& folder, const std::string& name);

int ProcessId();

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file the
// program opens later takes one of them: a log file on descriptor 1 would receive the console
// lines. Call first thing in main, before any file is opened.
void OpenClosedStandardDescriptors();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_PROCESS_H_
