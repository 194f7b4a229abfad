#include "security/ntlm.h"

#include <string.h>
#include <wctype.h>

#include "security/ntlm_crypto.h"

namespace gavio::ntlm {
namespace {

constexpr uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr uint32_t kNegotiateType = 1;
constexpr uint32_t kChallengeType = 2;
constexpr uint32_t kAuthenticateType = 3;
constexpr uint16_t kAvEol = 0;
constexpr uint16_t kAvTimestamp = 7;

uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put16(Bytes* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(Bytes* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void Put64(Bytes* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void Append(Bytes* out, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + length);
}

// One code point from UTF-8; a byte that starts no valid sequence stands
// for itself, so any narrow text converts.
uint32_t NextCodePoint(const std::string& text, size_t* index) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t first = byte(*index);
  int extra = first >= 0xF0 && first < 0xF5   ? 3
              : first >= 0xE0 && first < 0xF0 ? 2
              : first >= 0xC2 && first < 0xE0 ? 1
                                              : 0;
  if (extra == 0 || *index + extra >= text.size()) {
    ++*index;
    return first;
  }
  uint32_t code = first & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    uint8_t next = byte(*index + i);
    if ((next & 0xC0) != 0x80) {
      ++*index;
      return first;
    }
    code = code << 6 | (next & 0x3F);
  }
  *index += extra + 1;
  return code;
}

// A (length, capacity, offset) field of a message header.
struct Field {
  uint16_t length;
  uint32_t offset;
};

bool ReadField(const uint8_t* message, size_t length, size_t at, Field* field) {
  if (at + 8 > length) return false;
  field->length = Load16(message + at);
  field->offset = Load32(message + at + 4);
  return field->length == 0 ||
         (field->offset <= length && field->length <= length - field->offset);
}

}  // namespace

Bytes Utf16Le(const std::string& text, bool upperCase) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    uint32_t code = NextCodePoint(text, &i);
    if (upperCase && code < 0x10000) code = static_cast<uint32_t>(towupper(code));
    if (code >= 0x10000) {
      code -= 0x10000;
      Put16(&out, static_cast<uint16_t>(0xD800 + (code >> 10)));
      Put16(&out, static_cast<uint16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      Put16(&out, static_cast<uint16_t>(code));
    }
  }
  return out;
}

void NtHash(const std::string& password, uint8_t out[kKeySize]) {
  Bytes unicode = Utf16Le(password);
  Md4(unicode.data(), unicode.size(), out);
}

void NtowfV2(const std::string& password, const std::string& user, const std::string& domain,
             uint8_t out[kKeySize]) {
  uint8_t ntHash[kKeySize];
  NtHash(password, ntHash);
  Bytes text = Utf16Le(user, true);
  Bytes unicodeDomain = Utf16Le(domain);
  text.insert(text.end(), unicodeDomain.begin(), unicodeDomain.end());
  HmacMd5(ntHash, kKeySize, text.data(), text.size(), out);
}

bool ParseChallenge(const uint8_t* message, size_t length, ChallengeMessage* out) {
  if (message == nullptr || length < 32) return false;
  if (memcmp(message, kSignature, sizeof kSignature) != 0) return false;
  if (Load32(message + 8) != kChallengeType) return false;
  out->flags = Load32(message + 20);
  memcpy(out->serverChallenge, message + 24, kChallengeSize);
  // The target name plays no part in the responses, and some servers send
  // a stray offset for it: a name outside the message is taken as none.
  Field name;
  out->targetName.clear();
  if (ReadField(message, length, 12, &name)) {
    out->targetName.assign(message + name.offset, message + name.offset + name.length);
  }
  out->targetInfo.clear();
  // Old servers end the header before the target info field.
  if ((out->flags & kNegotiateTargetInfo) != 0 && length >= 48) {
    Field info;
    if (!ReadField(message, length, 40, &info)) return false;
    out->targetInfo.assign(message + info.offset, message + info.offset + info.length);
  }
  return true;
}

bool FindTimestamp(const Bytes& targetInfo, uint64_t* time) {
  size_t at = 0;
  while (at + 4 <= targetInfo.size()) {
    uint16_t id = Load16(&targetInfo[at]);
    uint16_t size = Load16(&targetInfo[at + 2]);
    if (id == kAvEol || at + 4 + size > targetInfo.size()) return false;
    if (id == kAvTimestamp && size == 8) {
      uint64_t value = 0;
      for (int i = 7; i >= 0; --i) value = value << 8 | targetInfo[at + 4 + i];
      *time = value;
      return true;
    }
    at += 4 + size;
  }
  return false;
}

Bytes BuildNegotiate(uint32_t flags) {
  Bytes out(kSignature, kSignature + sizeof kSignature);
  Put32(&out, kNegotiateType);
  Put32(&out, flags);
  // Neither a domain nor a workstation is supplied: two empty fields.
  for (int i = 0; i < 2; ++i) {
    Put16(&out, 0);
    Put16(&out, 0);
    Put32(&out, 0);
  }
  return out;
}

NtlmV2Response ComputeNtlmV2(const uint8_t responseKeyNt[kKeySize],
                             const uint8_t serverChallenge[kChallengeSize],
                             const uint8_t clientChallenge[kChallengeSize], uint64_t time,
                             const Bytes& targetInfo, bool zeroLmResponse) {
  NtlmV2Response response;
  // The client blob: version 1.1, reserved, time, client challenge,
  // reserved, the server's AV pairs, reserved.
  Bytes blob = {1, 1, 0, 0, 0, 0, 0, 0};
  Put64(&blob, time);
  Append(&blob, clientChallenge, kChallengeSize);
  Put32(&blob, 0);
  Append(&blob, targetInfo.data(), targetInfo.size());
  Put32(&blob, 0);

  Bytes proofInput(serverChallenge, serverChallenge + kChallengeSize);
  Append(&proofInput, blob.data(), blob.size());
  uint8_t ntProof[kKeySize];
  HmacMd5(responseKeyNt, kKeySize, proofInput.data(), proofInput.size(), ntProof);
  response.ntResponse.assign(ntProof, ntProof + kKeySize);
  Append(&response.ntResponse, blob.data(), blob.size());

  if (zeroLmResponse) {
    response.lmResponse.assign(24, 0);
  } else {
    uint8_t challenges[2 * kChallengeSize];
    memcpy(challenges, serverChallenge, kChallengeSize);
    memcpy(challenges + kChallengeSize, clientChallenge, kChallengeSize);
    uint8_t lmProof[kKeySize];
    HmacMd5(responseKeyNt, kKeySize, challenges, sizeof challenges, lmProof);
    response.lmResponse.assign(lmProof, lmProof + kKeySize);
    Append(&response.lmResponse, clientChallenge, kChallengeSize);
  }
  HmacMd5(responseKeyNt, kKeySize, ntProof, kKeySize, response.sessionBaseKey);
  return response;
}

Bytes BuildAuthenticate(const ChallengeMessage& challenge, const AuthenticateInput& input) {
  uint8_t responseKey[kKeySize];
  NtowfV2(input.password, input.user, input.domain, responseKey);
  uint64_t serverTime = 0;
  bool hasTimestamp = FindTimestamp(challenge.targetInfo, &serverTime);
  NtlmV2Response response =
      ComputeNtlmV2(responseKey, challenge.serverChallenge, input.clientChallenge,
                    hasTimestamp ? serverTime : input.time, challenge.targetInfo, hasTimestamp);

  Bytes sessionKey;
  if ((input.flags & kNegotiateKeyExchange) != 0) {
    // For NTLMv2 the key exchange key is the session base key.
    sessionKey.assign(input.randomSessionKey, input.randomSessionKey + kKeySize);
    Rc4(response.sessionBaseKey, kKeySize, sessionKey.data(), sessionKey.size());
  }

  bool unicode = (input.flags & kNegotiateUnicode) != 0;
  auto text = [unicode](const std::string& s) {
    return unicode ? Utf16Le(s) : Bytes(s.begin(), s.end());
  };
  const Bytes payloads[] = {text(input.domain), text(input.user), text(input.workstation),
                            response.lmResponse, response.ntResponse, sessionKey};
  // Header field positions in the order of the message layout.
  constexpr size_t kFieldAt[] = {28, 36, 44, 12, 20, 52};

  size_t headerSize = 64 + ((input.flags & kNegotiateVersion) != 0 ? kVersionSize : 0);
  Bytes out(headerSize, 0);
  memcpy(out.data(), kSignature, sizeof kSignature);
  out[8] = kAuthenticateType;
  for (int i = 0; i < 4; ++i) out[60 + i] = static_cast<uint8_t>(input.flags >> (8 * i));
  if ((input.flags & kNegotiateVersion) != 0) memcpy(&out[64], input.version, kVersionSize);
  for (size_t i = 0; i < 6; ++i) {
    size_t at = kFieldAt[i];
    uint16_t length = static_cast<uint16_t>(payloads[i].size());
    uint32_t offset = static_cast<uint32_t>(out.size());
    out[at] = out[at + 2] = static_cast<uint8_t>(length);
    out[at + 1] = out[at + 3] = static_cast<uint8_t>(length >> 8);
    for (int b = 0; b < 4; ++b) out[at + 4 + b] = static_cast<uint8_t>(offset >> (8 * b));
    Append(&out, payloads[i].data(), payloads[i].size());
  }
  return out;
}

}  // namespace gavio::ntlm
