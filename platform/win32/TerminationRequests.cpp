// Windows has no termination signals: log-off and shut-down reach a window as its session's quit.
#include "platform/TerminationRequests.h"

namespace platform {

int TerminationRequestDescriptor() { return -1; }
int TakeTerminationRequest() { return 0; }
void IgnoreFileSizeSignal() {}

}  // namespace platform
