// CSock5Proxy (56): a transport that reaches the server through a SOCKS5
// proxy (RFC 1928, user name and password per RFC 1929). It owns a
// CTCPClient connected to the proxy and speaks one of two openings:
// "CProxy" (05 01 M, the method it expects back) and "SuperProxy"
// (05 02 00 02, strict about reply lengths). It starts with the variant
// that last succeeded in the process and falls back from CProxy to
// SuperProxy on a fresh connection. Target names are resolved here, so
// the connect request always carries an IPv4 address.
//
// Replies are judged per received chunk; a reply split across reads is
// not reassembled.
#include <atomic>
#include <new>
#include <string>

#include "gavio/host.h"
#include "gavio/ids.h"
#include "gavio/net.h"
#include "net/proxy_memory.h"
#include "net/proxy_messages.h"
#include "net/proxy_tunnel.h"
#include "platform/errors.h"
#include "frame/gavio_ptr.h"

namespace gavio {
namespace {

constexpr int32_t kVariantCProxy = 1;
constexpr int32_t kVariantSuperProxy = 2;

constexpr int32_t kStepMethodSent = 1;
constexpr int32_t kStepUserPasswordSent = 2;
constexpr int32_t kStepConnectSent = 3;
constexpr int32_t kStepTunnel = 4;

// SuperProxy failures, passed to OnConnectFail as they are.
constexpr int32_t kSuperProxyUnexpectedState = 1;
constexpr int32_t kSuperProxyAuthRefused = 3;
constexpr int32_t kSuperProxyBadReply = 4;

constexpr size_t kTargetHostSize = 20;  // at most 19 characters

// Process-wide; atomic so tunnels on several threads never race.
std::atomic<int32_t> g_rememberedVariant{kVariantCProxy};
std::atomic<int32_t> g_succeeded{0};

class CSock5Proxy;

class LookupSink final : public IHostLookupSink {
 public:
  explicit LookupSink(CSock5Proxy* owner) : owner_(owner) {}
  void OnHostLookupSuccess(const uint32_t* addresses, uint32_t count) override;
  void OnHostLookupFail(uint32_t error) override;

 private:
  CSock5Proxy* owner_;
};

class CSock5Proxy final : public ProxyTunnel<kSocks5ProxyId, kTargetHostSize> {
 public:
  CSock5Proxy()
      : ProxyTunnel("CSock5Proxy", "Connect1"),
        lookupSink_(this),
        variant_(g_rememberedVariant.load()) {}

  int32_t ConnectIP(uint32_t ip, uint16_t port) override {
    GAVIO_HOLD_OR_RETURN(0);
    bool ok = Connect(DottedAddress(ip).c_str(), port) == 1;
    log_.Trace("CSock5Proxy::Connect2() %s\n", Outcome(ok));
    return ok ? 1 : 0;
  }

  void ComponentFinalize() override {
    ProxyTunnel::ComponentFinalize();
    if (lookup_ != nullptr) lookup_->Destroy(0);
    lookup_ = nullptr;
  }

  // ---- the host lookup's events (a target given by name)

  void OnLookupSuccess(const uint32_t* addresses, uint32_t count) {
    GAVIO_HOLD_OR_RETURN();
    if (count < 1 || addresses == nullptr) {
      log_.Error("OnHostLookupSuccess nIPNum=%d, error\n", static_cast<int>(count));
      SetError(kTransportErrorNoAddress);
      if (inner_ != nullptr) inner_->Disconnect();
      FireConnectFail(static_cast<int32_t>(lastError_));
      return;
    }
    uint32_t address = addresses[GetTickCount() % count];
    log_.Trace("CSock5Proxy::OnHostLookupSuccess() \n");
    log_.Trace("OnHostLookupSuccess ulhostIP=[%u]\n", address);
    SendToProxy(Socks5ConnectRequest(address, targetPort_));
    step_ = kStepConnectSent;
  }

  void OnLookupFail(uint32_t error) {
    GAVIO_HOLD_OR_RETURN();
    // The proxy connection has nothing left to carry.
    if (inner_ != nullptr) inner_->Disconnect();
    FireConnectFail(static_cast<int32_t>(error));
  }

 private:
  // ---- the inner client's events

  void OnConnectSuccess() override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace(
        "CSock5Proxy::OnConnectSuccess(), connect proxy server success, send confer request\n");
    step_ = kStepMethodSent;
    bool ok;
    if (variant_ == kVariantCProxy) {
      expectedMethod_ = settings_.userName[0] != '\0' ? 0x02 : 0x00;
      ok = SendToProxy(Socks5CProxyMethodRequest(expectedMethod_ == 0x02));
      log_.Trace("CSock5Proxy::SendCProxyConferInfo() %s\n", Outcome(ok));
    } else {
      ok = SendToProxy(Socks5SuperProxyMethodRequest());
      log_.Trace("CSock5Proxy::SendSuperProxyConferInfo() %s\n", Outcome(ok));
    }
    log_.Trace("CSock5Proxy::SendConferInfo() %s\n", Outcome(ok));
  }

  void OnConnectFail(int32_t error) override {
    GAVIO_HOLD_OR_RETURN();
    FireConnectFail(kConnectFailProxyUnreachable);
  }

  void OnReceived(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    if (bytes == nullptr || length < 1) return;
    const auto* reply = reinterpret_cast<const uint8_t*>(bytes);
    if (step_ == kStepTunnel) {
      if (sink_ != nullptr) sink_->OnReceived(bytes, length);
    } else if (variant_ == kVariantCProxy) {
      OnCProxyReceived(reply, static_cast<size_t>(length));
    } else {
      OnSuperProxyReceived(reply, static_cast<size_t>(length));
    }
  }

  void OnClosed(int32_t reason) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("CSock5Proxy::OnClosed() \n");
    if (g_succeeded.load() == 0 && variant_ == kVariantCProxy) {
      variant_ = kVariantSuperProxy;
      ContinueTry();
      return;
    }
    FireClosed(reason);
  }

  // ---- the handshake

  void OnCreated() override { step_ = 0; }

  bool SendUserPassword() {
    std::string message;
    return Socks5UserPassword(settings_.userName, settings_.password, &message) &&
           SendToProxy(message);
  }

  // The connect request, at once for a dotted target, after a lookup for a
  // name. Returns whether it was sent directly.
  bool SendSubConferInfo() {
    uint32_t address = 0;
    bool ok;
    if (ParseDottedAddress(targetHost_, &address)) {
      ok = SendToProxy(Socks5ConnectRequest(address, targetPort_));
    } else {
      ok = StartLookup();
    }
    log_.Trace("CSock5Proxy::SendSubConferInfo() %s\n", Outcome(ok));
    return ok;
  }

  bool StartLookup() {
    if (lookup_ == nullptr) {
      lookup_ = CreateComponentAs<IHostLookup>(kHostLookupId);
      if (lookup_ == nullptr) return false;
      EventSourceOf(lookup_)->AddListener(static_cast<IHostLookupSink*>(&lookupSink_), 0);
    }
    return lookup_->Resolve(targetHost_) == 1;
  }

  void OnCProxyReceived(const uint8_t* reply, size_t length) {
    switch (step_) {
      case kStepMethodSent:
        log_.Trace("CSock5Proxy::OnCProxyReceived() SOCK5_STEP1 \n");
        if (length < 2 || reply[0] != 0x05 || reply[1] != expectedMethod_) break;
        if (expectedMethod_ == 0x02) {
          if (!SendUserPassword()) break;
          step_ = kStepUserPasswordSent;
          log_.Trace("CSock5Proxy::OnCProxyReceived() Confer success, send user/password");
        } else {
          step_ = kStepConnectSent;
          log_.Trace(
              "CSock5Proxy::OnCProxyReceived() Confer success, proxy server not need "
              "user/password, send subconfer");
          if (!SendSubConferInfo()) break;
        }
        return;
      case kStepUserPasswordSent:
        log_.Trace("CSock5Proxy::OnCProxyReceived() SOCK5_STEP2 \n");
        if (length < 2 || reply[1] != 0x00) break;
        if (!SendSubConferInfo()) break;
        step_ = kStepConnectSent;
        return;
      case kStepConnectSent:
        log_.Trace(
            "CSock5Proxy::OnCProxyReceived() SOCK5_STEP3, ready to FireOnConnectSuccess() \n");
        if (!ExtractRequestReply(reply, length)) break;
        step_ = kStepTunnel;
        FireConnectSuccess();
        return;
      default:
        log_.Error("CSock5Proxy::OnCProxyReceived() Default, error \n");
        break;
    }
    // A wrong reply: try again from scratch with the other opening.
    SetError(kTransportErrorProxyReply);
    variant_ = kVariantSuperProxy;
    if (inner_ != nullptr) inner_->Disconnect();
    ContinueTry();
  }

  bool ExtractRequestReply(const uint8_t* reply, size_t length) {
    static const char* const kFaultTexts[] = {
        nullptr,
        "ExtractRequestReply fail! (buf_len<1+1+1+1+4+2)",
        "ExtractRequestReply fail! VER!=0x05) ",
        "ExtractRequestReply fail! REP!=0x00",
        "ExtractRequestReply fail! RSV!=0x00",
        "ExtractRequestReply fail! ATYP!=0x00",
    };
    Socks5ReplyFault fault = CheckSocks5Reply(reply, length);
    if (fault == Socks5ReplyFault::kNone) return true;
    log_.Error("%s", kFaultTexts[static_cast<int>(fault)]);
    SetError(kTransportErrorProxyReply);
    return false;
  }

  void OnSuperProxyReceived(const uint8_t* reply, size_t length) {
    switch (step_) {
      case kStepMethodSent:
        if (length != 2 || reply[0] != 0x05) {
          log_.Error("CSock5Proxy::OnReceived() confer error");
          return FailSuperProxy(kSuperProxyBadReply);
        }
        step_ = kStepUserPasswordSent;
        if (reply[1] == 0x02) {
          // Without a user name and password to send nothing else would
          // happen: count it as refused authentication.
          if (!SendUserPassword()) return FailSuperProxy(kSuperProxyAuthRefused);
          log_.Trace("CSock5Proxy::OnReceived() Confer success, send user/password");
        } else if (reply[1] == 0x00) {
          step_ = kStepConnectSent;
          log_.Trace(
              "CSock5Proxy::OnReceived() Confer success, proxy server not need user/password, "
              "send subconfer");
          SendSubConferInfo();
        } else {
          // No acceptable method (05 FF): nothing else will come, so end
          // here instead of leaving the caller waiting.
          log_.Error("CSock5Proxy::OnReceived() confer error");
          FailSuperProxy(kSuperProxyBadReply);
        }
        return;
      case kStepUserPasswordSent:
        if (length != 2 || reply[0] != 0x05 || reply[1] != 0x00) {
          log_.Error("CSock5Proxy::OnReceived() confer ok, but user/password wrong");
          return FailSuperProxy(kSuperProxyAuthRefused);
        }
        step_ = kStepConnectSent;
        SendSubConferInfo();
        log_.Trace("CSock5Proxy::OnReceived() Confer success, user/password ok, send subconfer");
        return;
      case kStepConnectSent:
        if (!IsSuperProxyConnectReply(reply, length)) {
          log_.Error("CSock5Proxy::OnReceived() subconfer error");
          return FailSuperProxy(kSuperProxyBadReply);
        }
        log_.Trace("CSock5Proxy::OnReceived() subconfer ok, begin to transmit data");
        step_ = kStepTunnel;
        FireConnectSuccess();
        return;
      default:
        log_.Error("CSock5Proxy::OnReceived() unknow error");
        return FailSuperProxy(kSuperProxyUnexpectedState);
    }
  }

  void FailSuperProxy(int32_t error) {
    if (inner_ != nullptr) inner_->Disconnect();
    FireConnectFail(error);
  }

  void ContinueTry() {
    log_.Trace("CSock5Proxy::ContinueTry() \n");
    Reopen();
  }

  void FireConnectSuccess() {
    g_rememberedVariant.store(variant_);
    g_succeeded.store(1);
    log_.Trace("CSock5Proxy::FireOnConnectSuccess()");
    if (sink_ != nullptr) sink_->OnConnectSuccess();
  }

  void FireConnectFail(int32_t error) override {
    log_.Trace("CSock5Proxy::FireOnConnectFail()");
    ProxyTunnel::FireConnectFail(error);
  }

  void FireClosed(int32_t reason) {
    log_.Trace("CSock5Proxy::FireOnClosed()");
    if (sink_ != nullptr) sink_->OnClosed(reason);
  }

  LookupSink lookupSink_;
  IHostLookup* lookup_ = nullptr;
  uint8_t expectedMethod_ = 0;
  int32_t step_ = 0;
  int32_t variant_;
};

void LookupSink::OnHostLookupSuccess(const uint32_t* addresses, uint32_t count) {
  owner_->OnLookupSuccess(addresses, count);
}
void LookupSink::OnHostLookupFail(uint32_t error) { owner_->OnLookupFail(error); }

}  // namespace

int32_t Socks5RememberedVariant() { return g_rememberedVariant.load(); }
bool Socks5HasSucceeded() { return g_succeeded.load() != 0; }
void ForgetSocks5Choice() {
  g_rememberedVariant.store(kVariantCProxy);
  g_succeeded.store(0);
}

IComponent* NewSock5Proxy() { return new (std::nothrow) CSock5Proxy(); }

}  // namespace gavio
