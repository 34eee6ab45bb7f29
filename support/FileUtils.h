// Small file, folder and path helpers shared by every subsystem; plain file operations only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The per-thread pump hook: a thread that owns windows installs one that handles at most one
// pending event of that thread; threads without a hook just sleep in WaitStep.
using WaitPumpHook = std::function<void()>;

// Installs `hook` for the calling thread (an empty function removes it).
void SetWaitPumpHook(WaitPumpHook hook);

// Lets the calling thread's pump hook handle one pending event, then sleeps `ms` milliseconds.
void WaitStep(int ms);

// `count` rounds of WaitStep(ms); always 0.
int PumpMessages(int ms, int count);

// Creates every missing folder of `path` (at most 64 components; blanks around a component are
// trimmed; empty components, "." and ".." are skipped). Returns the number of folders created.
// When `normalized` is given it receives the path as walked, without a trailing separator.
// On Windows '\' separates components as well as '/', and the walked path uses '\'.
int MakeFolderPath(const std::string& path, std::string* normalized = nullptr);

// 1 when the file system reports a status for `path`, else 0.
int FileExists(const std::string& path);

// 0 when there is no such file; else 1, storing the modification time (seconds since 1970 UTC)
// and the size in bytes into whichever of `mtime` and `size` is given.
int GetFileStatus(const std::string& path, int64_t* mtime, int64_t* size);

// Writes all `size` bytes of `data` to the descriptor `fd`, again after an interrupted or
// partial write; false when a write fails.
bool WriteAll(int fd, const char* data, size_t size);

// 1 when `path` is absent or was removed, 0 when removing it failed.
int DeleteFileIfPresent(const std::string& path);

// Removes the folder `path` with everything in it (links are removed, never followed); with
// `keepFolder` only what is in it. On Windows through the wide calls themselves, which take
// paths of any length: the C++ library's folder walk misreads the \\?\ form of a long path
// (it listed the current folder instead), which must never happen in a removal.
void RemoveFolderTree(const std::string& path, bool keepFolder = false);

// 1 at once when `source` does not exist; otherwise copies it over `target` and removes the
// source (the result of that removal); 0 when the copy failed.
int MoveFileByCopy(const std::string& source, const std::string& target);

// Sets the last-modification time of `path` to `time` (seconds since 1970 UTC).
// 1 on success, 0 when the file has no status, -1 when the time could not be set.
int SetFileModTime(const std::string& path, int64_t time);

// Ends `path` at its last path separator: removes the separator, or keeps it when `keepSlash`.
// Unchanged when there is none. Returns `path`.
std::string& CutAfterLastBackslash(std::string& path, bool keepSlash);

// The full path of the running executable (/proc/self/exe; on Windows the module's file
// name, however long), or empty when the system does not tell.
std::string RunningExecutablePath();

// Number of processors the system reports (at least 1).
int GetProcessorCount();

// The Windows version code; 0 here, so "Vista or later" branches take their modern path
// through their own checks rather than through this number.
int GetWindowsVersionCode();
