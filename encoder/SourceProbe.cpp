// The probe summary of a source, as the option-text builders take it.
#include "encoder/EncoderArgs.h"
#include "probe/Probe.h"

SourceProbe ProbeSource(const std::string& path) {
  SourceProbe probe;
  probe.result = getMediaInfo2Ex(&probe.summary, path);
  if (probe.result <= 0) probe = SourceProbe{};
  return probe;
}
