// TProtocalHandler: what the two verification protocol handlers share. It
// carries one exchange with the verification service: connect through the
// handler's connector manager, send the pending request, reassemble and
// decode the answer through the handler's parser, and end the exchange on
// an answer, a failure or a time-out.
//
// Received bytes that do not decode yet are kept for the next delivery, up
// to kReassemblyLimit: more than that cannot be an answer still arriving
// (a package is at most 65551 bytes), so the exchange ends with
// kVerifyErrorDecode instead of holding on to ever more memory. Bytes kept
// from a connection are dropped when it closes: the next server's answer
// starts afresh. A package still arriving is no error: the decode error
// is set only once a whole package is there and the parser refuses it.
//
// Not thread-safe: used on the thread the connector manager delivers on.
// Events hold the owning component (when one is given), so a listener may
// Destroy it from inside any callback.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "frame/client_path.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"
#include "gavio/connect.h"
#include "runtime/memory_client.h"

namespace gavio {

inline constexpr uint32_t kDefaultAttemptTimeoutMs = 2900;
inline constexpr uint32_t kDefaultTotalTimeoutMs = 30000;
inline constexpr uint32_t kReassemblyLimit = 131072;

// What tells the two handler components apart in the steps they share.
struct HandlerTexts {
  const char* name;            // the handler as its log lines name it
  const char* finalizeLog;     // logged by ComponentFinalize with the address
  bool nullConfigPathIsError;  // a null path also sets kVerifyErrorConfigPath
};

class TProtocalHandler : public IConnectorSink {
 public:
  // What each handler supplies.
  class IParser {
   public:
    // The wire bytes of the pending request.
    virtual bool BuildWire(const std::string& request, std::string* wire) = 0;
    // Decodes received bytes and reports what they hold; returns the bytes
    // used, 0 while nothing decodes yet.
    virtual uint32_t Decode(const char* bytes, uint32_t length) = 0;
    // The exchange failed with a component error code.
    virtual void OnExchangeError(uint32_t code) = 0;

   protected:
    ~IParser() = default;
  };

  enum State : int32_t { kIdle = 1, kConnecting = 2, kAwaitingAnswer = 4 };

  TProtocalHandler(ComponentLife* owner, LogSink* log) : owner_(owner), log_(log) {}
  ~TProtocalHandler();
  TProtocalHandler(const TProtocalHandler&) = delete;
  TProtocalHandler& operator=(const TProtocalHandler&) = delete;

  // Binds parser, manager (may be null: nothing can be sent) and time-outs
  // (0 takes the default) and joins the manager's listeners; state idle.
  void Bind(IParser* parser, IConnectorManager* manager, uint32_t totalTimeoutMs,
            uint32_t attemptTimeoutMs);
  // Leaves the manager's listeners and forgets parser and manager.
  void Unbind();

  // Replaces the pending request with a copy of record and sends it
  // (connecting first when needed). 1 on success; 0 with the last error set.
  int32_t SendPackage(const void* record, uint32_t length);
  // Replaces the pending request without sending it.
  void KeepPending(const void* record, uint32_t length);

  void Close();
  void Reset();
  // Ends the current exchange: closes the connection, forgets the pending
  // request and any held bytes.
  void EndExchange();
  // Unbinds and destroys the bound manager, which the owner created for
  // this handler alone.
  void ReleaseManager();

  // Keeps the configuration file's path (a relative one is taken from the
  // client's root folder). 0 when it is null or does not exist.
  int32_t KeepConfigPath(const char* configPath, const HandlerTexts& texts);
  // Ends any exchange and binds parser to a connector manager of its own
  // on the configured verification servers. 1 when they loaded and
  // shuffled; the parser is bound either way.
  int32_t CreateManager(IParser* parser, uint32_t attemptTimeoutMs, uint32_t totalTimeoutMs,
                        const ProxySettings* proxy, const char* name);
  // The owner calls this periodically: total and per-attempt time-outs.
  void OnTimer();

  uint32_t LastError() const { return lastError_; }
  void SetError(uint32_t code);
  State state() const { return state_; }
  size_t HeldBytes() const { return held_.size(); }
  // Changes whenever an exchange is reset: a caller that called out can
  // tell whether the exchange it worked on is still the current one.
  uint64_t Exchange() const { return exchange_; }

  // IConnectorSink
  void OnConnected() override;
  void OnConnectFailed(uint32_t error) override;
  void OnClose(int32_t reason) override;
  void OnPacket(const char* bytes, int32_t length) override;

 private:
  bool SendStep();
  // Close, reset, set the code and report it.
  void Fail(uint32_t code);
  void Report();
  void JoinManager();
  void LeaveManager();

  ComponentLife* owner_;
  LogSink* log_;
  IParser* parser_ = nullptr;
  IConnectorManager* manager_ = nullptr;
  uint32_t totalTimeoutMs_ = kDefaultTotalTimeoutMs;
  uint32_t attemptTimeoutMs_ = kDefaultAttemptTimeoutMs;
  State state_ = kIdle;
  bool connected_ = false;
  uint32_t startTick_ = 0;
  uint32_t connectTick_ = 0;
  std::string pending_;  // the request record; empty when none
  std::string held_;     // received bytes not decoded yet
  uint32_t lastError_ = 0;
  uint64_t exchange_ = 0;
  char configPath_[kClientPathSize] = {};
};

// The listeners of a handler, each with the value it was added with.
// Listeners may remove listeners, start the next exchange or destroy the
// handler from inside a call; one removed meanwhile is not called.
template <class Sink>
class SinkList {
 public:
  void Add(void* listener, uint32_t value) {
    if (listener != nullptr) sinks_[static_cast<Sink*>(listener)] = value;
  }
  int32_t Remove(void* listener) {
    return static_cast<int32_t>(sinks_.erase(static_cast<Sink*>(listener)));
  }
  void Clear() { sinks_.clear(); }

  template <class Call>
  void Notify(ComponentLife* owner, const Call& call) {
    HoldGuard hold(owner);
    const std::map<Sink*, uint32_t> snapshot = sinks_;
    for (const auto& entry : snapshot) {
      if (!owner->IsInitialised() || sinks_.count(entry.first) == 0) continue;
      call(entry.first);
    }
  }

 private:
  std::map<Sink*, uint32_t> sinks_;
};

// The component frame both handlers share: configuration, connector
// manager set-up, timer, finalisation and listeners. A handler adds its own
// request operation and the parser hooks.
template <uint32_t kId, class IMain, class Sink>
class ProtocolHandlerComponent : public Component<kId, IMain, IEventSource>,
                                 private TProtocalHandler::IParser {
 public:
  int32_t Initialize(const char* configPath) override {
    GAVIO_HOLD_OR_RETURN(0);
    return base_.KeepConfigPath(configPath, texts_);
  }

  int32_t Initialize2(uint32_t attemptTimeoutMs, uint32_t totalTimeoutMs,
                      const ProxySettings* proxy) override {
    GAVIO_HOLD_OR_RETURN(0);
    return base_.CreateManager(this, attemptTimeoutMs, totalTimeoutMs, proxy, texts_.name);
  }

  void OnTimer() override {
    GAVIO_HOLD_OR_RETURN();
    base_.OnTimer();
  }

  void ComponentFinalize() override {
    log_.Trace(texts_.finalizeLog, static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    base_.EndExchange();
    base_.ReleaseManager();
    listeners_.Clear();
  }

  void AddListener(void* listener, uint32_t value) override { listeners_.Add(listener, value); }
  int32_t RemoveListener(void* listener) override { return listeners_.Remove(listener); }

 protected:
  explicit ProtocolHandlerComponent(const HandlerTexts& texts)
      : log_(nullptr, kId), base_(this, &log_), texts_(texts) {}

  LogSink log_;
  TProtocalHandler base_;
  MemoryClient memory_{kId};
  SinkList<Sink> listeners_;

 private:
  const HandlerTexts texts_;
};

}  // namespace gavio
