// NTLM client messages (negotiate, challenge, authenticate) with NTLMv2
// responses. Pure functions: the provider feeds in the random values and
// the time, so the published test vectors can be reproduced exactly.
//
// Every parse is bounded by the bytes given; a field that points outside
// the message makes the whole message invalid.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace gavio::ntlm {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kNegotiateUnicode = 0x00000001;
inline constexpr uint32_t kNegotiateOem = 0x00000002;
inline constexpr uint32_t kRequestTarget = 0x00000004;
inline constexpr uint32_t kNegotiateSign = 0x00000010;
inline constexpr uint32_t kNegotiateSeal = 0x00000020;
inline constexpr uint32_t kNegotiateNtlm = 0x00000200;
inline constexpr uint32_t kNegotiateAlwaysSign = 0x00008000;
inline constexpr uint32_t kNegotiateExtendedSessionSecurity = 0x00080000;
inline constexpr uint32_t kNegotiateTargetInfo = 0x00800000;
inline constexpr uint32_t kNegotiateVersion = 0x02000000;
inline constexpr uint32_t kNegotiate128 = 0x20000000;
inline constexpr uint32_t kNegotiateKeyExchange = 0x40000000;
inline constexpr uint32_t kNegotiate56 = 0x80000000;

inline constexpr size_t kChallengeSize = 8;
inline constexpr size_t kKeySize = 16;
inline constexpr size_t kVersionSize = 8;

// Narrow text (the locale's character set, UTF-8) as UTF-16LE bytes;
// upperCase maps each character to upper case first.
Bytes Utf16Le(const std::string& text, bool upperCase = false);

// NTOWFv1: MD4 of the UTF-16LE password.
void NtHash(const std::string& password, uint8_t out[kKeySize]);
// NTOWFv2: HMAC-MD5 keyed with the NT hash over upper-case user and domain.
void NtowfV2(const std::string& password, const std::string& user, const std::string& domain,
             uint8_t out[kKeySize]);

struct ChallengeMessage {
  uint32_t flags = 0;
  uint8_t serverChallenge[kChallengeSize] = {};
  Bytes targetName;
  Bytes targetInfo;  // AV pairs as received
};

// False for anything that is not a well-formed challenge message.
bool ParseChallenge(const uint8_t* message, size_t length, ChallengeMessage* out);

// The FILETIME timestamp (MsvAvTimestamp) among the AV pairs, if any.
bool FindTimestamp(const Bytes& targetInfo, uint64_t* time);

Bytes BuildNegotiate(uint32_t flags);

struct NtlmV2Response {
  Bytes lmResponse;  // 24 bytes
  Bytes ntResponse;  // NTProofStr and the client blob
  uint8_t sessionBaseKey[kKeySize] = {};
};

// The responses to a challenge. time is in FILETIME units; zeroLmResponse
// sends 24 zero bytes in place of the LMv2 response (servers that sent a
// timestamp expect that).
NtlmV2Response ComputeNtlmV2(const uint8_t responseKeyNt[kKeySize],
                             const uint8_t serverChallenge[kChallengeSize],
                             const uint8_t clientChallenge[kChallengeSize], uint64_t time,
                             const Bytes& targetInfo, bool zeroLmResponse);

struct AuthenticateInput {
  uint32_t flags = 0;  // the negotiated flags written into the message
  std::string user;
  std::string domain;
  std::string password;
  std::string workstation;
  uint8_t clientChallenge[kChallengeSize] = {};
  uint64_t time = 0;
  uint8_t randomSessionKey[kKeySize] = {};  // used with kNegotiateKeyExchange
  uint8_t version[kVersionSize] = {};       // written with kNegotiateVersion
};

// The authenticate message answering challenge; strings are UTF-16LE when
// kNegotiateUnicode is in input.flags, else narrow. The payload order is
// domain, user, workstation, LM response, NT response, session key.
Bytes BuildAuthenticate(const ChallengeMessage& challenge, const AuthenticateInput& input);

}  // namespace gavio::ntlm
