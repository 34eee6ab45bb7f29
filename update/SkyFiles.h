// The file calls of the update client that differ between systems: receiving into a temporary
// file, judging and moving received files, the client's own user and program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace skyfiles {

// A file being received: a descriptor here, a HANDLE on Windows; kNoFile when none.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Creates (or truncates) `path` for writing, never through a link standing at that name.
FileHandle CreateTemp(const std::string& path);
bool Write(FileHandle file, const char* data, size_t size);
// false when the last data could not be written out.
bool Close(FileHandle file);

// Whether a received file starts like a program of this system (a script or ELF image here,
// an MZ image on Windows).
bool LooksExecutable(const std::string& path);

// Gives `received` the permissions of `target` when that is a regular file, else those of a
// program or a plain file.
void TakeInstallMode(const std::string& target, const std::string& received);

// Moves a file into place, replacing (not following) a link at the target; across file
// systems by a copy.
bool MoveInto(const std::string& from, const std::string& to);

// A regular file (not a link, not a folder) stands at `path`.
bool IsRegularFile(const std::string& path);

// Makes a new folder of our own below `parent` whose name starts with `prefix`; empty on failure.
std::string MakeUniqueFolder(const std::string& parent, const std::string& prefix);

// The current user is the system's own account (whose logs stay where they are asked to go).
bool UserIsSystem();

// The path of the running program; empty when it cannot be told.
std::string RunningExecutable();

}  // namespace skyfiles
