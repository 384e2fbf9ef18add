// MD5 and SHA-1 digests as lower-case hexadecimal text, over OpenSSL
// libcrypto: the upload's "X-Hash" header, the allow-list check and the
// evidence report. No state between calls; safe on any thread.
#pragma once

#include <cstddef>
#include <string>

std::string md5(const unsigned char* data, std::size_t len);
std::string sha1(const unsigned char* data, std::size_t len);
