#include "support/sha256.h"

#include <openssl/evp.h>

namespace iccdrop::testing {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const int ok =
      EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  if (ok != 1) return "(EVP_Digest failed)";
  constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace iccdrop::testing
