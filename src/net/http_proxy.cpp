// CHttpProxy (55): a transport that reaches the server through an HTTP
// proxy's CONNECT. It owns a CTCPClient connected to the proxy, tries no
// authentication, Basic and NTLM in that order (each on the target port,
// then on 443), and from the 200 reply on passes bytes through unchanged.
// The method and port that first succeed are remembered for the process.
//
// Each attempt runs on a fresh inner client: a failed reply or a close
// releases the client and opens another one for the next attempt. Every
// event reaches the outer sink on the creating thread, from inside an
// inner client callback, so the inner client is always released through
// Destroy (deferred while its callback runs).
#include <string.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include "gavio/ids.h"
#include "gavio/net.h"
#include "gavio/runtime.h"
#include "net/proxy_memory.h"
#include "net/proxy_messages.h"
#include "net/proxy_tunnel.h"
#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/sspi.h"
#include "frame/gavio_ptr.h"

namespace gavio {
namespace {

constexpr int32_t kAuthNotChosen = 0;
constexpr int32_t kAuthNone = 1;
constexpr int32_t kAuthBasic = 2;
constexpr int32_t kAuthNtlm = 3;
constexpr int32_t kNoRememberedMethod = -1;

constexpr int32_t kNtlmNoStep = 10;
constexpr int32_t kNtlmFirstSent = 11;
constexpr int32_t kNtlmSecondSent = 12;

constexpr uint16_t kFallbackPort = 443;
constexpr size_t kTargetHostSize = 32;   // at most 31 characters
constexpr size_t kReplyTextSize = 1024;  // the judged part of a reply
constexpr size_t kNtlmTokenSize = 1024;
constexpr uint32_t kNtlmContextFlags = 0xA1F;

// Process-wide, shared by every tunnel. Atomic so tunnels on several
// threads never race; the choice itself stays last-writer-wins.
std::atomic<int32_t> g_rememberedMethod{kNoRememberedMethod};
std::atomic<int32_t> g_rememberedUse443{0};

// The security module's NTLM client for one attempt: library, function
// table, credentials and context, released together.
class NtlmSession {
 public:
  NtlmSession() = default;
  NtlmSession(const NtlmSession&) = delete;
  NtlmSession& operator=(const NtlmSession&) = delete;
  ~NtlmSession() { Release(); }

  // Loads the module (from the client's root folder, else the search path)
  // and acquires credentials for the identity.
  bool Init(const ProxySettings& settings) {
    Release();
    std::string beside = std::string(RootPath()) + "\\Security.dll";
    module_ = LoadLibraryA(beside.c_str());
    if (module_ == nullptr) module_ = LoadLibraryA("Security.dll");
    if (module_ == nullptr) return false;
    auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
        GetProcAddress(module_, SECURITY_ENTRYPOINT_ANSIA));
    table_ = init != nullptr ? init() : nullptr;
    if (table_ == nullptr || table_->AcquireCredentialsHandleA == nullptr ||
        table_->InitializeSecurityContextA == nullptr) {
      Release();
      return false;
    }
    SEC_WINNT_AUTH_IDENTITY_A identity{};
    identity.User = reinterpret_cast<unsigned char*>(const_cast<char*>(settings.userName));
    identity.UserLength = static_cast<uint32_t>(strlen(settings.userName));
    identity.Domain = reinterpret_cast<unsigned char*>(const_cast<char*>(settings.domain));
    identity.DomainLength = static_cast<uint32_t>(strlen(settings.domain));
    identity.Password = reinterpret_cast<unsigned char*>(const_cast<char*>(settings.password));
    identity.PasswordLength = static_cast<uint32_t>(strlen(settings.password));
    identity.Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
    char package[] = "NTLM";
    TimeStamp expiry = 0;
    if (table_->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                          &identity, nullptr, nullptr, &credential_,
                                          &expiry) < 0) {
      Release();
      return false;
    }
    haveCredential_ = true;
    return true;
  }

  // One context step: no input for the first token, the proxy's challenge
  // for the second. False for a failure status.
  bool Step(const uint8_t* input, size_t inputLength, uint8_t* output, size_t* outputLength) {
    if (table_ == nullptr || !haveCredential_) return false;
    SecBuffer inBuffer{static_cast<uint32_t>(inputLength), SECBUFFER_TOKEN,
                       const_cast<uint8_t*>(input)};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    SecBuffer outBuffer{static_cast<uint32_t>(*outputLength), SECBUFFER_TOKEN, output};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    char target[] = "NTLM";
    SECURITY_STATUS status = table_->InitializeSecurityContextA(
        &credential_, haveContext_ ? &context_ : nullptr, target, kNtlmContextFlags, 0,
        SECURITY_NATIVE_DREP, input != nullptr ? &inDesc : nullptr, 0, &context_, &outDesc,
        &attributes_, &expiry_);
    if (status < 0) return false;
    haveContext_ = true;
    *outputLength = std::min<size_t>(outBuffer.cbBuffer, *outputLength);
    return true;
  }

  void Release() {
    if (table_ != nullptr && haveContext_ && table_->DeleteSecurityContext != nullptr) {
      table_->DeleteSecurityContext(&context_);
    }
    if (table_ != nullptr && haveCredential_ && table_->FreeCredentialsHandle != nullptr) {
      table_->FreeCredentialsHandle(&credential_);
    }
    haveContext_ = haveCredential_ = false;
    table_ = nullptr;
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }

 private:
  HMODULE module_ = nullptr;
  PSecurityFunctionTableA table_ = nullptr;
  CredHandle credential_{};
  CtxtHandle context_{};
  bool haveCredential_ = false;
  bool haveContext_ = false;
  uint32_t attributes_ = 0;
  TimeStamp expiry_ = 0;
};

class CHttpProxy final : public ProxyTunnel<kHttpProxyId, kTargetHostSize> {
 public:
  CHttpProxy() : ProxyTunnel("CHttpProxy", "Connect") {}

  int32_t ConnectIP(uint32_t ip, uint16_t port) override {
    GAVIO_HOLD_OR_RETURN(0);
    bool ok = inner_ != nullptr && ip != 0 && port > 0;
    if (ok) {
      ok = Connect(DottedAddress(ip).c_str(), port) == 1;
    } else {
      SetError(ERROR_INVALID_PARAMETER);
    }
    log_.Trace("CHttpProxy::Connect2() %s\n", Outcome(ok));
    return ok ? 1 : 0;
  }

  void ComponentFinalize() override {
    ProxyTunnel::ComponentFinalize();
    ntlm_.Release();
    if (base64_ != nullptr) base64_->Destroy(0);
    base64_ = nullptr;
  }

 private:
  // ---- the inner client's events

  void OnConnectSuccess() override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace(
        "CHttpProxy::OnConnectSuccess(), connect proxy server success, send confer request\n");
    if (!SetAutoMethodAndPort()) {
      // Every method has been tried: say so rather than leave the caller
      // waiting on a connection that will never report.
      inner_->Disconnect();
      FireConnectFail(static_cast<int32_t>(lastError_));
      return;
    }
    if (!SendConferInfo()) FailAttempt();
  }

  void OnConnectFail(int32_t error) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("CHttpProxy::OnConnectFail()\n");
    FireConnectFail(kConnectFailProxyUnreachable);
  }

  void OnReceived(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    if (length < 1 || bytes == nullptr) return;
    if (g_rememberedMethod.load() != kNoRememberedMethod && tunnelEstablished_) {
      if (sink_ != nullptr) sink_->OnReceived(bytes, length);
      return;
    }
    char text[kReplyTextSize];
    size_t textLength = std::min<size_t>(static_cast<size_t>(length), kReplyTextSize - 1);
    memcpy(text, bytes, textLength);
    text[textLength] = '\0';

    bool ok = false;
    if (method_ == kAuthNone || method_ == kAuthBasic) {
      log_.Trace("CHttpProxy::OnReceived(), m_iAuthMethod=[%s], invoke IsValidOK()\n",
                 method_ == kAuthNone ? "AUTH_NONE" : "AUTH_BASE");
      ok = IsValidOK(text, textLength);
    } else if (method_ == kAuthNtlm && ntlmStep_ == kNtlmFirstSent) {
      ok = IsValidOK(text, textLength);
      if (!ok) {
        log_.Trace("CHttpProxy::OnReceived(), m_iAuthMethod=[AUTH_NTLM], invoke AutoNtlmSend2()\n");
        if (AutoNtlmSend2(text, textLength)) return;
      }
    } else if (method_ == kAuthNtlm && ntlmStep_ == kNtlmSecondSent) {
      ok = IsValidOK(text, textLength);
    }
    if (!ok) {
      log_.Trace("CHttpProxy::OnReceived(), something is wrong,invoke ContinueTry()\n");
      FailAttempt();
      return;
    }
    if (g_rememberedMethod.load() == kNoRememberedMethod) g_rememberedMethod.store(method_);
    if (use443_) g_rememberedUse443.store(1);
    tunnelEstablished_ = true;
    log_.Trace("CHttpProxy::OnReceived(), everything is ok, invoke FireOnConnectSuccess() \n");
    if (sink_ != nullptr) sink_->OnConnectSuccess();
    PassTunnelBytesAfterReply(bytes, length);
  }

  void OnClosed(int32_t reason) override {
    GAVIO_HOLD_OR_RETURN();
    if (IsNeedContinueTry()) {
      log_.Trace("CHttpProxy::OnClosed(), need to ContinueTry() \n");
      ContinueTry();
      return;
    }
    log_.Trace("CHttpProxy::OnClosed(), not need to ContinueTry(), FireOnClosed() \n");
    if (sink_ != nullptr) sink_->OnClosed(reason);
  }

  // ---- the handshake

  // A reply that was not the 200 (or a request that could not be sent):
  // the next attempt, or the end of trying.
  void FailAttempt() {
    if (inner_ != nullptr) inner_->Disconnect();
    if (IsNeedContinueTry()) {
      ContinueTry();
    } else {
      FireConnectFail(static_cast<int32_t>(lastError_));
    }
  }

  // The proxy may send the first tunnel bytes in the same read as its 200
  // reply; they belong to the caller.
  void PassTunnelBytesAfterReply(const char* bytes, int32_t length) {
    if (!IsInitialised() || sink_ == nullptr) return;
    for (int32_t i = 0; i + 4 <= length; ++i) {
      if (memcmp(bytes + i, "\r\n\r\n", 4) != 0) continue;
      if (i + 4 < length) sink_->OnReceived(bytes + i + 4, length - i - 4);
      return;
    }
  }

  bool SetAutoMethodAndPort() {
    bool ok = true;
    int32_t remembered = g_rememberedMethod.load();
    if (remembered == kNoRememberedMethod) {
      switch (method_) {
        case kAuthNotChosen:
          method_ = kAuthNone;
          break;
        case kAuthNone:
        case kAuthBasic:
          if (use443_ || targetPort_ == kFallbackPort) {
            method_ = method_ == kAuthNone ? kAuthBasic : kAuthNtlm;
            ntlmStep_ = kNtlmNoStep;
            use443_ = false;
          } else {
            use443_ = true;
          }
          break;
        case kAuthNtlm:
          ntlmStep_ = kNtlmNoStep;
          if (use443_ || targetPort_ == kFallbackPort) {
            ok = false;
          } else {
            use443_ = true;
          }
          break;
        default:
          ok = false;
      }
    } else {
      method_ = remembered;
      ntlmStep_ = kNtlmNoStep;
      if (targetPortTried_ || g_rememberedUse443.load() != 0) {
        use443_ = true;
      } else {
        targetPortTried_ = true;
      }
    }
    portInUse_ = use443_ ? kFallbackPort : targetPort_;
    // An attempt on the target port counts as tried whichever way it was
    // chosen, so a tunnel that stood there and closed reopens on 443.
    if (ok && !use443_) targetPortTried_ = true;
    log_.Trace("CHttpProxy::SetAutoMethodAndPort() %s\n", Outcome(ok));
    return ok;
  }

  bool IsNeedContinueTry() {
    bool again;
    if (g_rememberedMethod.load() != kNoRememberedMethod) {
      again = portInUse_ != kFallbackPort;
    } else {
      again = !(method_ == kAuthNtlm && use443_);
    }
    log_.Trace("CHttpProxy::IsNeedContinueTry() %s\n", Outcome(again));
    return again;
  }

  // Releases the inner client and opens the next attempt on a fresh one.
  void ContinueTry() {
    log_.Trace("CHttpProxy::ContinueTry(), DeleteSocket(), Create(), Connect()\n");
    tunnelEstablished_ = false;
    Reopen();
  }

  bool SendConferInfo() {
    switch (method_) {
      case kAuthNone:
        log_.Trace("CHttpProxy::SendConferInfo(), m_iAuthMethod=AUTH_NONE, invoke AutoNoneSend()\n");
        return AutoNoneSend();
      case kAuthBasic:
        log_.Trace("CHttpProxy::SendConferInfo(), m_iAuthMethod=AUTH_BASE, invoke AutoBaseSend()\n");
        return AutoBaseSend();
      case kAuthNtlm:
        if (ntlmStep_ == kNtlmNoStep) {
          log_.Trace(
              "CHttpProxy::SendConferInfo(), m_iAuthMethod=AUTH_NTLM,m_iNtlmStep=AUTH_NTLM_NOSTEP, "
              "invoke AutoNtlmSend1()\n");
          return AutoNtlmSend1();
        }
        log_.Error("CHttpProxy::SendConferInfo(), m_iAuthMethod=AUTH_BASE,m_iNtlmStep=[%d],error \n",
                   ntlmStep_);
        return false;
      default:
        SetError(kTransportErrorCreateTwice);
        log_.Error("CHttpProxy::SendConferInfo(), m_iAuthMethod=[%d] error \n", method_);
        return false;
    }
  }

  bool AutoNoneSend() {
    std::string request;
    bool ok = BuildHttpConnectNone(targetHost_, portInUse_, &request) && SendToProxy(request);
    log_.Trace("CHttpProxy::AutoNoneSend() %s, send buffer=[%s]\n", Outcome(ok), request.c_str());
    return ok;
  }

  bool AutoBaseSend() {
    std::string credentials = BasicCredentials(settings_.userName, settings_.password);
    std::string encoded;
    std::string request;
    bool ok = Encode(reinterpret_cast<const uint8_t*>(credentials.data()), credentials.size(),
                     &encoded) &&
              BuildHttpConnectBasic(targetHost_, portInUse_, encoded, &request) &&
              SendToProxy(request);
    log_.Trace("CHttpProxy::AutoBaseSend() %s, send buffer=[%s]\n", Outcome(ok), request.c_str());
    return ok;
  }

  bool AutoNtlmSend1() {
    std::string token;
    std::string request;
    bool ok = NtlmInit() && NtlmStep1(&token) &&
              BuildHttpConnectNtlm(targetHost_, portInUse_, token, kHttpNtlmFirstLimit,
                                   &request) &&
              SendToProxy(request);
    if (ok) ntlmStep_ = kNtlmFirstSent;
    log_.Trace("CHttpProxy::AutoNtlmSend1() %s, send buffer=[%s]\n", Outcome(ok),
               request.c_str());
    return ok;
  }

  bool AutoNtlmSend2(const char* reply, size_t length) {
    std::string token;
    std::string request;
    bool ok = NtlmStep2(reply, length, &token) &&
              BuildHttpConnectNtlm(targetHost_, portInUse_, token, kHttpNtlmSecondLimit,
                                   &request) &&
              SendToProxy(request);
    if (ok) ntlmStep_ = kNtlmSecondSent;
    log_.Trace("CHttpProxy::AutoNtlmSend2() %s, send buffer=[%s]\n", Outcome(ok),
               request.c_str());
    return ok;
  }

  bool NtlmInit() {
    log_.Trace("CHttpProxy::NtlmInit()\n");
    if (ntlm_.Init(settings_)) return true;
    SetError(kTransportErrorSecurityMissing);
    return false;
  }

  bool NtlmStep1(std::string* token) {
    log_.Trace("CHttpProxy::NtlmStep1()\n");
    uint8_t output[kNtlmTokenSize];
    size_t outputLength = sizeof output;
    if (!ntlm_.Step(nullptr, 0, output, &outputLength)) {
      SetError(kTransportErrorProxyRefused);
      return false;
    }
    return Encode(output, outputLength, token);
  }

  bool NtlmStep2(const char* reply, size_t length, std::string* token) {
    log_.Trace("CHttpProxy::NtlmStep2()\n");
    std::string challengeText;
    uint8_t challenge[kNtlmTokenSize];
    size_t challengeLength = 0;
    if (!FindNtlmChallenge(reply, length, &challengeText) || !OpenBase64()) {
      SetError(kTransportErrorProxyRefused);
      return false;
    }
    challengeLength = Base64DecodedLength(challengeText);
    if (base64_->Decode(challengeText.c_str(), challenge, sizeof challenge) != 1) {
      challengeLength = 0;
    }
    uint8_t output[kNtlmTokenSize];
    size_t outputLength = sizeof output;
    if (challengeLength < 1 || !ntlm_.Step(challenge, challengeLength, output, &outputLength)) {
      SetError(kTransportErrorProxyRefused);
      return false;
    }
    return Encode(output, outputLength, token);
  }

  bool IsValidOK(const char* text, size_t length) {
    bool ok = HttpStatusCode(text, length) == 200;
    if (!ok) SetError(kTransportErrorProxyRefused);
    log_.Trace("CHttpProxy::IsValidOK() %s\n", Outcome(ok));
    return ok;
  }

  bool OpenBase64() {
    if (base64_ == nullptr) base64_ = CreateComponentAs<IBase64>(kBase64Id);
    return base64_ != nullptr;
  }

  bool Encode(const uint8_t* data, size_t length, std::string* out) {
    if (!OpenBase64()) return false;
    std::string text((length + 2) / 3 * 4 + 1, '\0');
    if (base64_->Encode(data, static_cast<int32_t>(length), text.data(),
                        static_cast<int32_t>(text.size())) == 0) {
      return false;
    }
    text.resize(strlen(text.c_str()));
    *out = std::move(text);
    return true;
  }

  IBase64* base64_ = nullptr;
  NtlmSession ntlm_;
  uint16_t portInUse_ = 0;
  bool use443_ = false;
  bool targetPortTried_ = false;
  bool tunnelEstablished_ = false;
  int32_t method_ = kAuthNotChosen;
  int32_t ntlmStep_ = kNtlmNoStep;
};

}  // namespace

int32_t HttpProxyRememberedMethod() { return g_rememberedMethod.load(); }
bool HttpProxyRemembersPort443() { return g_rememberedUse443.load() != 0; }
void ForgetHttpProxyChoice() {
  g_rememberedMethod.store(kNoRememberedMethod);
  g_rememberedUse443.store(0);
}

IComponent* NewHttpProxy() { return new (std::nothrow) CHttpProxy(); }

}  // namespace gavio
