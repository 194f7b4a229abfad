// The security provider module (libsecurity.so, loaded as "Security.dll"):
// the client side of the NTLM package behind the SSPI function table.
//
// A credential keeps the identity it was given; a context walks from
// "negotiate sent" to "authenticated" in two InitializeSecurityContextA
// calls. Handles carry the object's address and a tag, and are honoured
// only while the object is in the live set, so a stale or forged handle is
// refused instead of being followed.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <set>
#include <string>

#include "platform/sspi.h"
#include "security/ntlm.h"

namespace gavio::ntlm {
namespace {

constexpr uintptr_t kCredentialTag = 0x4E544C4D43524544u;  // "NTLMCRED"
constexpr uintptr_t kContextTag = 0x4E544C4D43545854u;     // "NTLMCTXT"
constexpr uint64_t kFileTimeOf1970 = 116444736000000000u;  // 100 ns units since 1601

// The flags this client offers; the authenticate message keeps those the
// server accepted.
constexpr uint32_t kClientFlags = kNegotiateUnicode | kNegotiateOem | kRequestTarget |
                                  kNegotiateNtlm | kNegotiateAlwaysSign |
                                  kNegotiateExtendedSessionSecurity | kNegotiate128 |
                                  kNegotiate56 | kNegotiateKeyExchange;

struct Credential {
  std::string user;
  std::string domain;
  std::string password;
};

struct Context {
  Credential identity;
  uint32_t offeredFlags = 0;
  bool authenticated = false;
};

std::mutex g_liveLock;
std::set<const void*> g_live;  // credentials, contexts and allocated buffers

void Track(const void* object) {
  std::lock_guard<std::mutex> lock(g_liveLock);
  g_live.insert(object);
}

// Removes object from the live set; false when it was not there.
bool Untrack(const void* object) {
  std::lock_guard<std::mutex> lock(g_liveLock);
  return g_live.erase(object) == 1;
}

template <class T>
T* Lookup(const SecHandle* handle, uintptr_t tag) {
  if (handle == nullptr || handle->dwUpper != tag) return nullptr;
  auto* object = reinterpret_cast<T*>(handle->dwLower);
  std::lock_guard<std::mutex> lock(g_liveLock);
  return g_live.count(object) != 0 ? object : nullptr;
}

std::string Text(const unsigned char* text, uint32_t length) {
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text), length);
}

void RandomBytes(uint8_t* out, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = getrandom(out + done, length - done, 0);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
}

uint64_t FileTimeNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return kFileTimeOf1970 + static_cast<uint64_t>(now.tv_sec) * 10000000u +
         static_cast<uint64_t>(now.tv_nsec) / 100u;
}

std::string Workstation() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  std::string upper(name, strnlen(name, 15));  // a NetBIOS name has 15 characters
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '.') return upper.substr(0, &c - upper.data());
  }
  return upper;
}

SecBuffer* TokenBuffer(SecBufferDesc* description) {
  if (description == nullptr || description->pBuffers == nullptr) return nullptr;
  for (uint32_t i = 0; i < description->cBuffers; ++i) {
    if (description->pBuffers[i].BufferType == SECBUFFER_TOKEN) return &description->pBuffers[i];
  }
  return nullptr;
}

// Copies the token into the caller's buffer, or into one allocated here
// when the caller asked for that (freed with FreeContextBuffer).
SECURITY_STATUS WriteToken(const Bytes& token, uint32_t contextReq, SecBufferDesc* output) {
  SecBuffer* buffer = TokenBuffer(output);
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  if ((contextReq & ISC_REQ_ALLOCATE_MEMORY) != 0) {
    void* memory = malloc(token.size());
    if (memory == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
    memcpy(memory, token.data(), token.size());
    Track(memory);
    buffer->pvBuffer = memory;
  } else if (buffer->pvBuffer == nullptr || buffer->cbBuffer < token.size()) {
    return SEC_E_BUFFER_TOO_SMALL;
  } else {
    memcpy(buffer->pvBuffer, token.data(), token.size());
  }
  buffer->cbBuffer = static_cast<uint32_t>(token.size());
  return SEC_E_OK;
}

SECURITY_STATUS AcquireCredentialsHandleA(char* principal, char* package, uint32_t credentialUse,
                                          void* logonId, void* authData, void* getKeyFn,
                                          void* getKeyArgument, CredHandle* credential,
                                          TimeStamp* expiry) {
  if (package == nullptr || strcasecmp(package, "NTLM") != 0) return SEC_E_SECPKG_NOT_FOUND;
  if (credential == nullptr) return SEC_E_INVALID_HANDLE;
  if ((credentialUse & SECPKG_CRED_OUTBOUND) == 0) return SEC_E_UNSUPPORTED_FUNCTION;
  // There is no logged-on user to fall back to: an identity is required.
  auto* identity = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(authData);
  if (identity == nullptr) return SEC_E_NO_CREDENTIALS;
  auto* object = new (std::nothrow) Credential;
  if (object == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  object->user = Text(identity->User, identity->UserLength);
  object->domain = Text(identity->Domain, identity->DomainLength);
  object->password = Text(identity->Password, identity->PasswordLength);
  Track(object);
  credential->dwLower = reinterpret_cast<uintptr_t>(object);
  credential->dwUpper = kCredentialTag;
  if (expiry != nullptr) *expiry = INT64_MAX;
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandle(CredHandle* credential) {
  auto* object = Lookup<Credential>(credential, kCredentialTag);
  if (object == nullptr || !Untrack(object)) return SEC_E_INVALID_HANDLE;
  delete object;
  credential->dwLower = credential->dwUpper = 0;
  return SEC_E_OK;
}

SECURITY_STATUS StartContext(Credential* credential, uint32_t contextReq, CtxtHandle* newContext,
                             SecBufferDesc* output) {
  if (newContext == nullptr) return SEC_E_INVALID_HANDLE;
  uint32_t flags = kClientFlags;
  if ((contextReq & (ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY | ISC_REQ_REPLAY_DETECT |
                     ISC_REQ_SEQUENCE_DETECT)) != 0) {
    flags |= kNegotiateSign;
  }
  if ((contextReq & ISC_REQ_CONFIDENTIALITY) != 0) flags |= kNegotiateSeal;
  SECURITY_STATUS status = WriteToken(BuildNegotiate(flags), contextReq, output);
  if (status != SEC_E_OK) return status;
  auto* context = new (std::nothrow) Context;
  if (context == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  context->identity = *credential;
  context->offeredFlags = flags;
  Track(context);
  newContext->dwLower = reinterpret_cast<uintptr_t>(context);
  newContext->dwUpper = kContextTag;
  return SEC_I_CONTINUE_NEEDED;
}

SECURITY_STATUS AnswerChallenge(Context* context, uint32_t contextReq, SecBufferDesc* input,
                                CtxtHandle* newContext, SecBufferDesc* output) {
  if (context->authenticated) return SEC_E_OUT_OF_SEQUENCE;
  SecBuffer* token = TokenBuffer(input);
  ChallengeMessage challenge;
  if (token == nullptr || token->pvBuffer == nullptr ||
      !ParseChallenge(static_cast<const uint8_t*>(token->pvBuffer), token->cbBuffer,
                      &challenge)) {
    return SEC_E_INVALID_TOKEN;
  }
  // Only NTLMv2 is spoken: a server without NTLM is refused.
  if ((challenge.flags & kNegotiateNtlm) == 0) return SEC_E_INVALID_TOKEN;
  AuthenticateInput answer;
  uint32_t common = context->offeredFlags & challenge.flags;
  uint32_t charset = (challenge.flags & kNegotiateUnicode) != 0 ? kNegotiateUnicode
                                                                : kNegotiateOem;
  answer.flags = (common & ~(kNegotiateUnicode | kNegotiateOem)) | charset | kNegotiateNtlm |
                 (challenge.flags & kNegotiateTargetInfo);
  answer.user = context->identity.user;
  answer.domain = context->identity.domain;
  answer.password = context->identity.password;
  answer.workstation = Workstation();
  RandomBytes(answer.clientChallenge, sizeof answer.clientChallenge);
  RandomBytes(answer.randomSessionKey, sizeof answer.randomSessionKey);
  answer.time = FileTimeNow();
  SECURITY_STATUS status = WriteToken(BuildAuthenticate(challenge, answer), contextReq, output);
  if (status != SEC_E_OK) return status;
  context->authenticated = true;
  if (newContext != nullptr) *newContext = SecHandle{reinterpret_cast<uintptr_t>(context), kContextTag};
  return SEC_E_OK;
}

SECURITY_STATUS InitializeSecurityContextA(CredHandle* credential, CtxtHandle* context,
                                           char* targetName, uint32_t contextReq,
                                           uint32_t reserved1, uint32_t targetDataRep,
                                           SecBufferDesc* input, uint32_t reserved2,
                                           CtxtHandle* newContext, SecBufferDesc* output,
                                           uint32_t* contextAttributes, TimeStamp* expiry) {
  if (contextAttributes != nullptr) *contextAttributes = contextReq & ~ISC_REQ_DELEGATE;
  if (expiry != nullptr) *expiry = INT64_MAX;
  if (context == nullptr || (context->dwLower == 0 && context->dwUpper == 0)) {
    auto* object = Lookup<Credential>(credential, kCredentialTag);
    if (object == nullptr) return SEC_E_INVALID_HANDLE;
    return StartContext(object, contextReq, newContext, output);
  }
  auto* object = Lookup<Context>(context, kContextTag);
  if (object == nullptr) return SEC_E_INVALID_HANDLE;
  return AnswerChallenge(object, contextReq, input, newContext, output);
}

SECURITY_STATUS DeleteSecurityContext(CtxtHandle* context) {
  auto* object = Lookup<Context>(context, kContextTag);
  if (object == nullptr || !Untrack(object)) return SEC_E_INVALID_HANDLE;
  delete object;
  context->dwLower = context->dwUpper = 0;
  return SEC_E_OK;
}

SECURITY_STATUS FreeContextBuffer(void* buffer) {
  if (buffer == nullptr) return SEC_E_OK;
  if (!Untrack(buffer)) return SEC_E_INVALID_HANDLE;
  free(buffer);
  return SEC_E_OK;
}

SecurityFunctionTableA g_table = [] {
  SecurityFunctionTableA table{};
  table.dwVersion = 1;
  table.AcquireCredentialsHandleA = AcquireCredentialsHandleA;
  table.FreeCredentialsHandle = FreeCredentialsHandle;
  table.InitializeSecurityContextA = InitializeSecurityContextA;
  table.DeleteSecurityContext = DeleteSecurityContext;
  table.FreeContextBuffer = FreeContextBuffer;
  return table;
}();

}  // namespace
}  // namespace gavio::ntlm

extern "C" __attribute__((visibility("default"))) PSecurityFunctionTableA InitSecurityInterfaceA() {
  return &gavio::ntlm::g_table;
}
