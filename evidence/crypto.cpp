#include "evidence/crypto.h"

#include "core/log.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <vector>

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

}  // namespace

bool simplesign(const char* data, unsigned int len, const char* key, unsigned int keylen, std::string& sig) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) {
    log_error("Message Digest Context not created");
    return false;
  }
  std::unique_ptr<BIO, BioFree> bio(key ? BIO_new_mem_buf(key, static_cast<int>(keylen)) : nullptr);
  std::unique_ptr<EVP_PKEY, KeyFree> pkey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                                              : nullptr);
  // A key that does not parse shows up here: the init has nothing to sign with.
  if (!pkey || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, pkey.get()) != 1) {
    log_error("Digest sign not initialised");
    return false;
  }
  static const char empty = 0;
  if (EVP_DigestUpdate(ctx.get(), len ? data : &empty, len) != 1) {
    log_error("Digest sign not updated");
    return false;
  }
  std::size_t siglen = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &siglen) != 1) {
    log_error("Digest sign not finilised");
    return false;
  }
  std::vector<unsigned char> buffer;
  try {
    buffer.resize(siglen);
  } catch (const std::bad_alloc&) {
    log_error("Memory for digest sign not allocated");
    return false;
  }
  if (EVP_DigestSignFinal(ctx.get(), buffer.data(), &siglen) != 1) {
    log_error("Digest sign not finilized");
    return false;
  }
  sig.append(reinterpret_cast<const char*>(buffer.data()), siglen);
  return true;
}
