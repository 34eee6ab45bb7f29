// Placeholder until this parser lands: it recognises nothing.
#include "probe/Parsers.h"
int AsfStreamQuery(MediaFile&, int64_t*, int, bool) { return 0; }
int AsfFilePropertiesQuery(MediaFile&, int64_t*, int, bool) { return 0; }
int AsfSimpleIndexQuery(MediaFile&, int64_t*, int, bool) { return 0; }
int RunWma(MediaFile&, MediaInfo&) { return 0; }
int RunWmv(MediaFile&, MediaInfo&) { return 0; }
