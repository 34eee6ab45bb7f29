// Placeholder until this parser lands: it recognises nothing.
#include "probe/Parsers.h"
int RunFlv(MediaFile&, MediaInfo&) { return 0; }
