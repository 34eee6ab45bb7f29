// Small file and thread operations the desktop program needs from the system: private folders,
// renames that never replace, and the priority of helper threads.
#pragma once

#include <string>

namespace platform {

// Whether `folder` is a folder of the current user's own that nobody else can enter (on POSIX:
// owned by this user, a real folder and not a link, mode 0700). On Windows, whether it is a
// folder: there a folder below the user's profile inherits the profile's access rules.
bool IsPrivateFolder(const std::string& folder);

// Creates `folder` and its parents when missing, the last one with mode 0700; true when the
// folder is private afterwards (IsPrivateFolder).
bool MakePrivateFolder(const std::string& folder);

// The current user's number (POSIX user id; 0 on Windows), for names of per-user folders.
unsigned long CurrentUserNumber();

// Renames `from` to `to` unless `to` exists; the check and the rename are one step, so a file
// that appears meanwhile is not replaced either.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Lowers the calling thread's priority a step, so that the window's thread keeps answering
// on a busy machine.
void LowerThisThreadPriority();

}  // namespace platform
