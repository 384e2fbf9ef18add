// Signing and digests over OpenSSL libcrypto. No state between calls; safe
// to call from several threads at once.
#pragma once

#include "http/digest.h"

#include <cstddef>
#include <string>

// Signs len bytes of data with SHA-1 and the PEM private key key[0..keylen)
// (PKCS #1 v1.5 for RSA keys). Appends the raw signature to sig and returns
// true; on failure logs one line and returns false, sig unchanged.
bool simplesign(const char* data, unsigned int len, const char* key, unsigned int keylen, std::string& sig);

