// Signing and digests over OpenSSL libcrypto. Safe to call from several
// threads at once; the only state kept between calls is the parsed key of
// signWithKeyFile, under its own lock.
#pragma once

#include "http/digest.h"

#include <cstddef>
#include <string>

// Signs len bytes of data with SHA-1 and the PEM private key key[0..keylen)
// (PKCS #1 v1.5 for RSA keys). Appends the raw signature to sig and returns
// true; on failure logs one line and returns false, sig unchanged.
bool simplesign(const char* data, unsigned int len, const char* key, unsigned int keylen, std::string& sig);

// As simplesign, with the PEM key held in the file at path. Parsing the key
// costs more than signing with it, so the parsed key is kept and used again
// while the file's path, size, modification time and content digest are
// all unchanged: a replaced key file is picked up by the next call. False,
// nothing logged, when the file cannot be read whole.
bool signWithKeyFile(const std::string& path, const char* data, std::size_t len, std::string& sig);
