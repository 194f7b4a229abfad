// Security verification: the two protocol handlers that talk to the
// verification service (1186 fetches the server, white and control lists;
// 1187 verifies file digests), the hash-check manager (1189) that pools
// hash-check handlers, and the security verifier (1185), the client's
// single entry point for address, control and file checks.
//
// Records handed to listeners belong to the caller and are valid only
// during the call; listeners copy what they keep.
//
// Thread safety: every component here is used on the thread that created
// it; events arrive on that thread (it must pump messages). Operations and
// events hold the component, so a listener may Destroy it from an event.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gavio/component.h"
#include "gavio/net.h"
#include "gavio/sink.h"

namespace gavio {

// Component error codes (the thread's last error and the listeners'
// error records).
enum VerifyErrorCode : uint32_t {
  kVerifyErrorConnect = 0x2c000001,        // connection failed, or timed out while connecting
  kVerifyErrorTimeout = 0x2c000002,        // timed out while the answer was awaited
  kVerifyErrorDecode = 0x2c000003,         // answer undecodable or unexpected command
  kVerifyErrorBuild = 0x2c000004,          // request packages could not be built
  kVerifyErrorSend = 0x2c000005,           // packages could not be sent
  kVerifyErrorConfigPath = 0x2c000100,     // configuration path null or missing
  kVerifyErrorConfigRead = 0x2c000101,     // configuration file could not be read
  kVerifyErrorConfigWrite = 0x2c000102,    // configuration file could not be written
  kVerifyErrorFileMissing = 0x2c000103,    // a file to hash could not be found
  kVerifyErrorNotVerified = 0x2c000104,    // the service did not verify at least one file
  kVerifyErrorHashResult = 0x2c000105,     // non-zero Result to a hash request
  kVerifyErrorListResult = 0x2c000106,     // non-zero Result to a list request
  kVerifyErrorUnknown = 0x2c000111,        // a failure without a code
};

constexpr int kHashCheckMaxFiles = 256;
constexpr int kVerifyPathMax = 260;

// Verdicts of HashCheckResult.
enum HashVerdict : uint32_t {
  kHashPassed = 0,
  kHashFailed = 1,
  kHashNotVerified = 2,
};

struct VerifyError {
  uint32_t firstCode;   // set by connection failures and time-outs
  uint32_t secondCode;  // set from a decoded answer
  uint32_t reserved;
  char reason[1028];    // at most 512 characters plus NUL
};
static_assert(sizeof(VerifyError) == 1040, "verify error record is 1040 bytes");

struct HashCheckTask {
  uint32_t count;  // at most 256 used
  char paths[kHashCheckMaxFiles][kVerifyPathMax];
};
static_assert(sizeof(HashCheckTask) == 66564, "hash task is 66564 bytes");

struct HashCheckResult {
  uint32_t count;
  char paths[kHashCheckMaxFiles][kVerifyPathMax];
  uint32_t verdicts[kHashCheckMaxFiles];  // HashVerdict
};
static_assert(sizeof(HashCheckResult) == 67588, "hash result is 67588 bytes");

// Fetch request flags (FetchRequest.flags).
constexpr uint32_t kFetchVerifyServers = 1;
constexpr uint32_t kFetchWhiteServers = 2;
constexpr uint32_t kFetchControlIds = 4;

struct FetchRequest {
  uint32_t flags;
  uint32_t verifyServerVersion;
  uint32_t whiteServerVersion;
  uint32_t controlIdVersion;
};
static_assert(sizeof(FetchRequest) == 16, "fetch request is 16 bytes");

constexpr int kMaxSubServices = 32;
constexpr int kMaxSubServiceAddresses = 1024;

struct SubServiceInfo {
  char name[260];
  uint32_t addressCount;      // at most 1024
  uint32_t recommendedCount;  // leading addresses that are recommended
  uint32_t addresses[kMaxSubServiceAddresses];  // as received (network order)
};

struct ServerListInfo {
  uint32_t version;
  uint32_t subServiceCount;  // at most 32
  SubServiceInfo subServices[kMaxSubServices];
};
static_assert(sizeof(ServerListInfo) == 139656, "server list record is 139656 bytes");

constexpr int kMaxControlIds = 512;
constexpr int kMaxControlDlls = 100;

struct ControlIdEntry {
  uint32_t version;
  char classId[40];  // 36 characters plus NUL
};

struct ControlIdInfo {
  uint32_t version;
  uint32_t classIdCount;  // at most 512
  uint32_t dllCount;      // at most 100
  ControlIdEntry classIds[kMaxControlIds];
  char dllNames[kMaxControlDlls][260];
};
static_assert(sizeof(ControlIdInfo) == 48540, "control id record is 48540 bytes");

// Listener of a hash-check handler (1187).
class IHashCheckHandlerSink : public ISink {
 public:
  virtual void OnHashCheckComplete(HashCheckResult* result, IComponent* handler) = 0;  // 1
  virtual void OnHashCheckError(HashCheckResult* result, VerifyError* error,
                                IComponent* handler) = 0;  // 2
};

// Listener of a verify-info handler (1186).
class IVerifyInfoSink : public ISink {
 public:
  virtual void OnGetVerifyServer(ServerListInfo* info) = 0;       // 1
  virtual void OnGetVerifyServerFail(VerifyError* error) = 0;     // 2
  virtual void OnGetWhiteServer(ServerListInfo* info) = 0;        // 3
  virtual void OnGetWhiteServerFail(VerifyError* error) = 0;      // 4
  virtual void OnGetControlID(ControlIdInfo* info) = 0;           // 5
  virtual void OnGetControlIDFail(VerifyError* error) = 0;        // 6
};

// Component 1187. Listeners through IEventSource.
class IHashCheckHandler : public IComponent {
 public:
  virtual int32_t Initialize(const char* configPath) = 0;  // 5
  // 6: a zero time-out takes its default (2900 ms attempt, 30000 ms total).
  virtual int32_t Initialize2(uint32_t attemptTimeoutMs, uint32_t totalTimeoutMs,
                              const ProxySettings* proxy) = 0;
  virtual int32_t VerifyFile(const char* serviceName, const HashCheckTask* task) = 0;  // 7
  virtual void OnTimer() = 0;            // 8: the owner calls it periodically
  virtual void ComponentFinalize() = 0;  // 9
};

// Component 1186. Listeners through IEventSource.
class IVerifyInfoHandler : public IComponent {
 public:
  virtual int32_t Initialize(const char* configPath) = 0;  // 5
  virtual int32_t Initialize2(uint32_t attemptTimeoutMs, uint32_t totalTimeoutMs,
                              const ProxySettings* proxy) = 0;  // 6
  virtual int32_t Fetch(const char* serviceName, const FetchRequest* request) = 0;  // 7
  virtual void OnTimer() = 0;            // 8
  virtual void ComponentFinalize() = 0;  // 9
};

// Listener of the hash-check manager: one call per submission.
class IHashCheckManagerSink : public ISink {
 public:
  virtual void OnHashCheckComplete(HashCheckResult* result) = 0;                     // 1
  virtual void OnHashCheckError(HashCheckResult* result, VerifyError* error) = 0;    // 2
};

// Component 1189. Listeners through IEventSource.
class IHashCheckManager : public IComponent {
 public:
  virtual void SetConfigPath(const char* path) = 0;  // 5
  virtual void Stop() = 0;                           // 6
  virtual int32_t Initialize2(uint32_t attemptTimeoutMs, uint32_t totalTimeoutMs,
                              const ProxySettings* proxy) = 0;  // 7
  virtual int32_t SetServiceName(const char* name) = 0;         // 8
  virtual int32_t StartHashCheck(const HashCheckTask* task) = 0;  // 9
  virtual void OnTimer() = 0;                                   // 10
  virtual void ComponentFinalize() = 0;                         // 11
};

// Check mask bits of the security verifier ("valid").
constexpr uint32_t kVerifyAddresses = 1;
constexpr uint32_t kVerifyFiles = 2;
constexpr uint32_t kVerifyControls = 4;

// Answers of VerifyIPAddress and VerityControlID.
enum TrustAnswer : int32_t {
  kTrusted = 0,
  kNotTrusted = 1,
  kTrustUnknown = 2,  // not listed, and the list could not be fetched
};

constexpr int kMaxRecommended = 20;
struct RecommendIpList {
  uint16_t count;  // at most 20
  uint32_t addresses[kMaxRecommended];
};

// Listener of the security verifier.
class ISecurityVerifierSink : public ISink {
 public:
  // 1: result is 1 for success, else the error code.
  virtual void OnUpdateVerifyInfo(uint32_t result) = 0;
  virtual void OnVerifyFileComplete(HashCheckResult* result) = 0;  // 2
};

// Component 1185. Listeners through IEventSource.
class ISecurityVerifier : public IComponent {
 public:
  virtual void SetPath(const char* folder) = 0;                       // 5
  virtual int32_t Initialize(const ProxySettings* proxy) = 0;         // 6
  virtual void Uninitialize() = 0;                                    // 7
  virtual void SetAutoUpdateInterval(uint32_t seconds) = 0;           // 8
  virtual int32_t UpdateVerifyInfo() = 0;                             // 9
  virtual int32_t VerifyFile(const HashCheckTask* task) = 0;          // 10
  virtual int32_t VerifyIPAddress(const char* type, const char* address) = 0;  // 11
  // 12: classId without braces (36 characters); version as the module's
  // version number.
  virtual int32_t VerityControlID(const char* classId, uint32_t version,
                                  const char* dllName) = 0;
  virtual int32_t GetRecommendIPList(const char* type, RecommendIpList* out) = 0;  // 13
  virtual void SetValid(uint32_t mask) = 0;                           // 14
  virtual void ComponentFinalize() = 0;                               // 15
};

}  // namespace gavio
