// The primitives NTLM is built from: MD4 (RFC 1320, written here because
// OpenSSL 3 keeps it out of its default provider), HMAC-MD5 (OpenSSL) and
// RC4 (for the key exchange of the session key).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace gavio::ntlm {

inline constexpr size_t kDigestSize = 16;

void Md4(const void* data, size_t length, uint8_t out[kDigestSize]);
void HmacMd5(const uint8_t* key, size_t keyLength, const void* data, size_t length,
             uint8_t out[kDigestSize]);
// Encrypts (or decrypts) length bytes in place with the key's stream.
void Rc4(const uint8_t* key, size_t keyLength, uint8_t* data, size_t length);

}  // namespace gavio::ntlm
