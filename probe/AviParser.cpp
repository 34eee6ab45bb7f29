// Placeholder until this parser lands: it recognises nothing.
#include "probe/Parsers.h"
int ParseAvi(const std::string&, MediaInfo&) { return 0; }
