// ProxyTunnel: what the HTTP and SOCKS5 tunnels share. Each owns an inner
// CTCPClient connected to the proxy, is itself that client's sink, and
// forwards the transport operations to it; only the handshake differs, and
// that lives in the derived tunnel's ITransportSink overrides.
//
// The base is a template because Component carries the component id. Log
// lines are formed from the tunnel's class name so each component keeps
// its own text ("CHttpProxy::Create() %s\n").
#pragma once

#include <string.h>

#include <string>

#include "gavio/ids.h"
#include "gavio/net.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"

namespace gavio {

// kTargetHostSize counts the terminator: the longest target host the
// tunnel accepts is one character less.
template <uint32_t kId, size_t kTargetHostSize>
class ProxyTunnel : public Component<kId, ITransport>, private ITransportSink {
 public:
  int32_t Create(const ProxySettings* settings, ITransportSink* sink) override {
    GAVIO_HOLD_OR_RETURN(0);
    ReleaseInner();
    inner_ = CreateComponentAs<ITransport>(kTcpClientId);
    bool ok = inner_ != nullptr && settings != nullptr && sink != nullptr;
    if (ok) {
      settings_ = *settings;
      TerminateTexts(&settings_);
      sink_ = sink;
      ok = inner_->Create(nullptr, static_cast<ITransportSink*>(this)) == 1;
      OnCreated();
    } else {
      SetError(ERROR_INVALID_PARAMETER);
    }
    log_.Trace("%s::Create() %s\n", className_, Outcome(ok));
    return ok ? 1 : 0;
  }

  int32_t Connect(const char* host, uint16_t port) override {
    GAVIO_HOLD_OR_RETURN(0);
    bool ok = inner_ != nullptr && host != nullptr && strlen(host) < kTargetHostSize &&
              port != 0 && settings_.host[0] != '\0' && settings_.port != 0;
    if (ok) {
      strcpy(targetHost_, host);
      targetPort_ = port;
      ok = inner_->Connect(settings_.host, settings_.port) == 1;
    } else {
      SetError(ERROR_INVALID_PARAMETER);
    }
    log_.Trace("%s::%s() %s\n", className_, connectLogName_, Outcome(ok));
    return ok ? 1 : 0;
  }

  int32_t Disconnect() override {
    GAVIO_HOLD_OR_RETURN(0);
    bool ok = inner_ != nullptr && inner_->Disconnect() == 1;
    log_.Trace("%s::Disconnect() %s\n", className_, Outcome(ok));
    return ok ? 1 : 0;
  }

  int32_t Send(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (bytes == nullptr || length < 1 || inner_ == nullptr) {
      SetError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    return inner_->Send(bytes, length);
  }

  void SetSpeedLimit(uint32_t limit) override {
    GAVIO_HOLD_OR_RETURN();
    if (inner_ != nullptr) inner_->SetSpeedLimit(limit);
  }
  void SetAggregation(uint8_t units) override {
    GAVIO_HOLD_OR_RETURN();
    if (inner_ != nullptr) inner_->SetAggregation(units);
  }
  void SetOptions(const TransportOptions* options) override {
    GAVIO_HOLD_OR_RETURN();
    if (inner_ != nullptr) inner_->SetOptions(options);
  }
  uintptr_t GetSocket() override {
    GAVIO_HOLD_OR_RETURN(kTransportInvalidSocket);
    return inner_ != nullptr ? inner_->GetSocket() : kTransportInvalidSocket;
  }
  void KeepSocketOpen() override {
    GAVIO_HOLD_OR_RETURN();
    if (inner_ != nullptr) inner_->KeepSocketOpen();
  }

  // A derived tunnel that owns more calls this first.
  void ComponentFinalize() override {
    ReleaseInner();
    sink_ = nullptr;
  }

 protected:
  // connectLogName is the name Connect logs under, which differs between
  // the tunnels.
  ProxyTunnel(const char* className, const char* connectLogName)
      : log_(nullptr, kId), className_(className), connectLogName_(connectLogName) {}

  static const char* Outcome(bool ok) { return ok ? "success" : "failed"; }

  // Runs in Create once the settings and sink are stored: a tunnel resets
  // its handshake state here.
  virtual void OnCreated() {}

  virtual void FireConnectFail(int32_t error) {
    if (sink_ != nullptr) sink_->OnConnectFail(error);
  }

  void SetError(uint32_t code) {
    lastError_ = code;
    SetLastError(code);
  }

  // Through Destroy, which the inner client defers while its own callback
  // (the one we may be running in) is on the stack.
  void ReleaseInner() {
    if (inner_ == nullptr) return;
    ITransport* inner = inner_;
    inner_ = nullptr;
    inner->Destroy(0);
  }

  bool SendToProxy(const std::string& bytes) {
    return inner_ != nullptr &&
           inner_->Send(bytes.data(), static_cast<int32_t>(bytes.size())) == 1;
  }

  // The next attempt on a fresh inner client, to the same proxy and target.
  // Create and Connect overwrite the stored settings and target, so they
  // get copies.
  void Reopen() {
    ReleaseInner();
    ProxySettings settings = settings_;
    char host[kTargetHostSize];
    strcpy(host, targetHost_);
    if (Create(&settings, sink_) != 1 || Connect(host, targetPort_) != 1) {
      FireConnectFail(static_cast<int32_t>(lastError_));
    }
  }

  LogSink log_;
  ProxySettings settings_{};
  ITransportSink* sink_ = nullptr;
  ITransport* inner_ = nullptr;
  char targetHost_[kTargetHostSize] = {};
  uint16_t targetPort_ = 0;
  uint32_t lastError_ = 0;

 private:
  // The block comes from the caller: its texts are not trusted to end.
  static void TerminateTexts(ProxySettings* settings) {
    settings->host[sizeof settings->host - 1] = '\0';
    settings->userName[sizeof settings->userName - 1] = '\0';
    settings->password[sizeof settings->password - 1] = '\0';
    settings->domain[sizeof settings->domain - 1] = '\0';
  }

  const char* className_;
  const char* connectLogName_;
};

}  // namespace gavio
