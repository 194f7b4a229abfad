// Component ids of the registered classes and of the host-supplied ones.
#pragma once

#include <stdint.h>

namespace gavio {

enum ComponentId : uint32_t {
  kXmlDocumentAltId = 1,
  kMemoryManagerId = 3,
  kBase64Id = 7,
  kWindowMakerId = 33,
  kNetSpeedDetectorId = 39,
  kIntervalId = 50,
  kTimeoutId = 51,
  kTcpClientId = 53,
  kUdpClientId = 54,
  kHttpProxyId = 55,
  kSocks5ProxyId = 56,
  kBlockCipherId = 64,
  kDigestId = 65,
  kHostLookupId = 66,  // host-supplied
  kZipReaderId = 67,
  kWorkerThreadId = 132,
  kFileUtilsId = 178,
  kFileObjectId = 183,
  kBufferId = 256,
  kFileSysMgrId = 260,
  kConnectorId = 322,
  kConnectorFrontEndAId = 323,
  kConnectorFrontEndBId = 324,
  kArchiveExtractorId = 355,
  kComponentFactoryId = 361,  // host-supplied
  kBrowserId = 383,
  kWindowTimerServiceId = 795,
  kRegistryId = 991,  // host-supplied
  kVersionUpdaterId = 1011,
  kIpcChannelId = 1068,
  kUpdateInfoStandardId = 1071,
  kXmlDocumentId = 1121,
  kConnectorManagerId = 1131,
  kSecurityVerifierId = 1185,
  kVerifyInfoHandlerId = 1186,
  kHashCheckHandlerId = 1187,
  kHashCheckManagerId = 1189,
};

}  // namespace gavio
