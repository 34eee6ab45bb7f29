// Requests from the system to end the program (SIGTERM, SIGHUP), handed to an event loop.
#pragma once

namespace platform {

// Starts catching SIGTERM and SIGHUP: each one makes the returned descriptor readable instead
// of ending the process, so that a program with an event loop can stop its work, save and quit
// in order. The same descriptor on every call. -1 where the system has no such requests (Windows,
// whose log-off reaches a program as its session's quit) or they could not be caught.
int TerminationRequestDescriptor();

// Reads what has arrived on the descriptor: the number of the last signal, 0 when none has.
int TakeTerminationRequest();

// A write past a file size limit fails like a full disk instead of ending the program.
void IgnoreFileSizeSignal();

}  // namespace platform
