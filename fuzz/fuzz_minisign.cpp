// Minisign keys and signatures: the text parsers, and verification of whatever they accept.
#include "FuzzSupport.h"
#include "support/Minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = fuzzsupport::Bytes(data, size);
  ParseMinisignKey(bytes);
  std::optional<MinisignSignature> sig = ParseMinisignSignature(bytes);
  // The input signs itself with an all-zero key of the signature's own id: never valid, and the
  // verification must say so without reading past anything.
  if (sig) {
    MinisignKey key;
    key.id = sig->id;
    std::string why;
    if (MinisignVerify(key, *sig, MinisignDataHash(bytes), &why)) std::abort();
  }
  return 0;
}
