// Placeholder until this parser lands: it recognises nothing.
#include "probe/Parsers.h"
int RunMkv(MediaFile&, MediaInfo&) { return 0; }
