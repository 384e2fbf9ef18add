#include "http/digest.h"

#include <openssl/evp.h>

namespace {

std::string hexDigest(const EVP_MD* md, const unsigned char* data, std::size_t len) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  static const unsigned char empty = 0;
  if (EVP_Digest(len ? data : &empty, len, digest, &n, md, nullptr) != 1) return {};
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (unsigned int i = 0; i < n; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace

std::string md5(const unsigned char* data, std::size_t len) { return hexDigest(EVP_md5(), data, len); }

std::string sha1(const unsigned char* data, std::size_t len) { return hexDigest(EVP_sha1(), data, len); }
