// The verification service's answers taken apart, and the requests put
// together, without a connection: the handlers hand these functions the
// bytes they received or the record they keep, and tests do the same.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>

#include "gavio/verify.h"
#include "verify/kora_protocol.h"

namespace gavio::kora {

// The wire length a package's head announces (HeadLen + BodyLen), or 0
// while fewer than the 16 head bytes are there.
uint32_t AnnouncedLength(const char* bytes, uint32_t length);
// True while bytes may be the start of a package still arriving: fewer than
// the 16 head bytes, or fewer than the head announces.
bool PackageArriving(const char* bytes, uint32_t length);

// Packs one request (head with cmd, body copied from record) and appends
// the bytes to wire. False when it does not encode or would take wire past
// capacity.
bool AppendRequest(uint16_t cmd, const void* record, uint32_t recordSize, uint32_t capacity,
                   std::string* wire);

// A decoded answer to a hash request.
struct HashAnswer {
  enum Kind { kVerdicts, kRefused };
  Kind kind = kRefused;
  uint32_t count = 0;  // verdicts used (at most 256)
  uint16_t verdicts[kHashCheckMaxFiles] = {};
  VerifyError error = {};  // kRefused: the second code and the reason
};

// Decodes the answer to a hash request from all the bytes given (one
// package; what follows it is dropped). The bytes used (all of them), or 0
// while they do not hold a whole decodable package.
uint32_t DecodeHashAnswer(const char* bytes, uint32_t length, HashAnswer* out);

// The task's files with the service's verdicts in task order; files the
// answer does not cover are left out. Returns false when a file was not
// verified (or carried a verdict the protocol does not define).
bool FillHashResult(const HashCheckTask& task, const HashAnswer& answer, HashCheckResult* result);
// Every task file marked "not verified".
void FillUnverifiedResult(const HashCheckTask& task, HashCheckResult* result);

// Walks the packages of a list answer in order and hands each decoded one
// to visit, which returns false to stop the walk. The bytes of the packages
// decoded (the walk stops at the first one incomplete or undecodable).
uint32_t WalkPackages(const char* bytes, uint32_t length,
                      const std::function<bool(const KoraPkg&)>& visit);

// The client's records from the OK members of the list answers.
void ConvertServerList(const GetipOK& ok, ServerListInfo* out);
void ConvertControlIds(const GetClsidOK& ok, ControlIdInfo* out);

// An error record from a refusal: code in the second field, the reason the
// service gave.
void FillRefusal(const RespErr& refusal, uint32_t code, VerifyError* out);

}  // namespace gavio::kora
