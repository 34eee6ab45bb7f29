// Placeholder until this parser lands: it recognises nothing.
#include "probe/Parsers.h"
std::string WaveFormatDisplayName(uint16_t) { return {}; }
