// Placeholder until this parser lands: it recognises nothing.
#include "probe/Parsers.h"
int RunOgg(MediaFile&, MediaInfo&) { return 0; }
int RunOgm(MediaFile&, MediaInfo&) { return 0; }
