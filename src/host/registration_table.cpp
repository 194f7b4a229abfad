// The registration table, in registration order. GetComponentIDs lists the
// classes in this order and lookups find the first match, so the order is
// part of the contract. A class not built yet has a null factory and is
// skipped.
#include "host/registration_table.h"

#include <mutex>

#include "frame/instances.h"
#include "frame/log_sink.h"
#include "gavio/ids.h"
#include "host/factories.h"

namespace gavio {
namespace {

struct Registration {
  uint32_t id;
  FactoryFunction factory;
};

// Filled at load and by tests; read by every CreateComponent.
struct Table {
  std::mutex mutex;
  Registration rows[kMaxRegistrations];
  uint32_t count = 0;
};

// Never destroyed, like the live-instance map: a late static destructor may
// still create or destroy.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

FactoryFunction FindFactory(uint32_t componentId) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (uint32_t i = 0; i < table.count; ++i) {
    if (table.rows[i].id == componentId) return table.rows[i].factory;
  }
  return nullptr;
}

constexpr Registration kRegistrations[] = {
    {kUpdateInfoStandardId, NewUpdateInfoStandard},
    {kVersionUpdaterId, NewVersionUpdater},
    {kHttpProxyId, NewHttpProxy},
    {kSocks5ProxyId, NewSock5Proxy},
    {kTcpClientId, NewTcpClient},
    {kUdpClientId, NewUdpClient},
    {kConnectorId, NewConnector},
    {kConnectorFrontEndAId, NewConnectorFrontEndA},
    {kConnectorFrontEndBId, NewConnectorFrontEndB},
    {kNetSpeedDetectorId, NewNetSpeedDetector},
    {kConnectorManagerId, NewConnectorManager},
    {kXmlDocumentAltId, NewXmlDocumentAlt},
    {kZipReaderId, NewZipReader},
    {kArchiveExtractorId, NewArchiveExtractor},
    {kMemoryManagerId, NewMemoryManager},
    {kWorkerThreadId, NewWorkerThread},
    {kIntervalId, NewInterval},
    {kTimeoutId, NewTimeout},
    {kFileUtilsId, NewFileUtils},
    {kFileObjectId, NewFileObject},
    {kIpcChannelId, NewIpcChannel},
    {kBase64Id, NewBase64},
    {kDigestId, NewDigest},
    {kBlockCipherId, NewBlockCipher},
    {kWindowMakerId, NewWindowMaker},
    {kXmlDocumentId, NewXmlDocument},
    {kWindowTimerServiceId, NewWindowTimerService},
    {kBrowserId, NewWebBrowser},
    {kBufferId, NewBuffer},
    {kFileSysMgrId, NewFileSysMgr},
    {kHashCheckManagerId, NewHashCheckManager},
    {kHashCheckHandlerId, NewHashCheckHandler},
    {kSecurityVerifierId, NewSecurityVerifier},
    {kVerifyInfoHandlerId, NewVerifyInfoHandler},
};

}  // namespace

void RegisterComponentClass(uint32_t componentId, FactoryFunction factory) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.count >= kMaxRegistrations || componentId == 0 || factory == nullptr) return;
  table.rows[table.count++] = Registration{componentId, factory};
}

void RegisterAllComponentClasses() {
  for (const Registration& r : kRegistrations) RegisterComponentClass(r.id, r.factory);
}

}  // namespace gavio

namespace gavio {

IComponent* HostCreateComponent(uint32_t componentId, uint32_t creatorId) {
  FactoryFunction factory = FindFactory(componentId);
  if (factory == nullptr) {
    DebugPrint("Gavio[Error]: Can't find the factory method of Component\n");
    DebugPrint("Gavio[Error]: ComponentID=%d CreatorID=%u", static_cast<int>(componentId),
               creatorId);
    return nullptr;
  }
  IComponent* component = factory();
  if (component == nullptr) {
    DebugPrint("Gavio[Error]:CreateComponent method return NULL.\n");
    DebugPrint("Gavio[Error]: ComponentID=%d CreatorID=%u", static_cast<int>(componentId),
               creatorId);
    return nullptr;
  }
  HostRecordInstance(component, componentId, creatorId);
  return component;
}

uint32_t HostGetComponentIds(uint32_t* ids, uint32_t max) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (ids != nullptr) {
    for (uint32_t i = 0; i < max && i < table.count; ++i) ids[i] = table.rows[i].id;
  }
  return table.count;
}

}  // namespace gavio
