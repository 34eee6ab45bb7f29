// The few things the encoding engine asks of the system itself (beside platform/): each has a
// POSIX and a Windows implementation in posix/ and win32/.
#pragma once

#include <string>
#include <string_view>

#include "platform/Process.h"
#include "support/FileUtils.h"

// Ends the process tree of the encoder with process id `pid` at once, for a program that must
// end now (its process group: SIGKILL; Windows: the process, waited for up to 2 s so that its
// files are closed). Everything it started also ends with our job object when we do.
void StopEncoderAtOnce(int pid);

// Why an encoder that ended by itself cannot have written a whole file: a signal we did not
// send (a file size limit: SIGXFSZ), or on Windows an exception code as its exit status (an
// access violation). Empty for a normal exit.
std::string UnexpectedEncoderEnd(const platform::ExitInfo& exit);

// One line of Korean code page (CP949) text as UTF-8; false when it is not valid CP949.
bool Cp949ToUtf8(std::string_view line, std::string& out);

// Makes a new folder of this user only, named `lead` and six random characters, in `base`;
// its path, or empty when none could be made.
std::string MakeUniqueFolder(const std::string& base, const std::string& lead);

// The size and modification time (nanoseconds, in the system's own count) of the regular file
// `path`; false when it is not one.
bool ProgramFileStamp(const std::string& path, long long& size, long long& mtimeNs);

#ifdef _WIN32
// The folder of the program's own files on Windows (work folders, the encoder capability cache,
// the default error log): the user's local application data folder (Local, not LocalLow), or
// the folder ZELVORA_LOCAL_DATA_FOLDER names (tests point it into their private home).
std::string UserLocalDataFolder();
#endif
