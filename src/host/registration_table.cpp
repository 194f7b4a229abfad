// The registration table, in registration order. GetComponentIDs lists the
// classes in this order and lookups find the first match, so the order is
// part of the contract. A class not built yet has a null factory and is
// skipped.
#include "host/factories.h"
#include "host/host.h"

namespace gavio {
namespace {

struct Registration {
  uint32_t id;
  FactoryFunction factory;
};

constexpr Registration kRegistrations[] = {
    {1071, nullptr},            // update-info file writer
    {1011, nullptr},            // version updater
    {55, NewHttpProxy},         // HTTP proxy
    {56, NewSock5Proxy},        // SOCKS5 proxy
    {53, NewTcpClient},         // TCP client
    {54, NewUdpClient},         // UDP client
    {322, nullptr},             // connector
    {323, nullptr},             // connector front-end
    {324, nullptr},             // connector front-end
    {39, nullptr},              // net speed detector
    {1131, nullptr},            // connector manager
    {1, nullptr},               // XML document, second implementation
    {67, nullptr},              // zip archive reader
    {355, nullptr},             // background archive extractor
    {3, NewMemoryManager},      // memory manager
    {132, NewWorkerThread},     // worker thread
    {50, NewInterval},          // repeating timers
    {51, NewTimeout},           // one-shot timers
    {178, NewFileUtils},        // file-system utilities
    {183, NewFileObject},       // file object
    {1068, NewIpcChannel},      // IPC channel
    {7, NewBase64},             // Base64
    {65, NewDigest},            // MD5 digest
    {64, NewBlockCipher},       // block cipher
    {33, nullptr},              // window maker
    {1121, nullptr},            // XML document
    {795, nullptr},             // window timer service
    {383, nullptr},             // embedded web browser
    {256, NewBuffer},           // Buffer
    {260, NewFileSysMgr},       // FileSysMgr
    {1189, nullptr},            // hash-check manager
    {1187, nullptr},            // hash-check protocol handler
    {1185, nullptr},            // security verifier
    {1186, nullptr},            // verify-info protocol handler
};

}  // namespace

void RegisterAllComponentClasses() {
  for (const Registration& r : kRegistrations) RegisterComponentClass(r.id, r.factory);
}

}  // namespace gavio
