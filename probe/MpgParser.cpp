// Placeholder until this parser lands: it recognises nothing.
#include "probe/Parsers.h"
int RunMpg(MediaFile&, MediaInfo&, bool) { return 0; }
