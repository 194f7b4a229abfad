// gavio components: the registered component ids and their classes.
#include <stdio.h>

#include <vector>

#include "cli.h"
#include "commands.h"

namespace gavio_tool {
namespace {

struct ClassName {
  uint32_t id;
  const char* name;
};

const ClassName kClassNames[] = {
    {1071, "CUpdateInfoStandard"}, {1011, "CVersionUpdater"}, {55, "CHttpProxy"},
    {56, "CSocks5Proxy"},          {53, "CTcpClient"},        {54, "CUdpClient"},
    {322, "CConnector"},           {323, "CConnectorFrontEnd"}, {324, "CConnectorFrontEnd"},
    {39, "CNetSpeedDetector"},     {1131, "CConnectorManager"}, {1, "CXmlDocumentAlt"},
    {67, "CZipReader"},            {355, "CArchiveExtractor"}, {3, "CMemoryManager"},
    {132, "CWorkerThread"},        {50, "CInterval"},          {51, "CTimeout"},
    {178, "CFileUtils"},           {183, "CFileObject"},       {1068, "CIPCChannel"},
    {7, "CBase64"},                {65, "CDigest"},            {64, "CBlockCipher"},
    {33, "CWindowMaker"},          {1121, "CXmlDocument"},     {795, "CWindowTimerService"},
    {383, "CGavWebBrowser"},       {256, "Buffer"},            {260, "FileSysMgr"},
    {1189, "CHashCheckManager"},   {1187, "CHashCheckHandler"}, {1185, "CSecurityVerifier"},
    {1186, "CVerifyInfoHandler"},
};

}  // namespace

const char* ClassNameOf(uint32_t id) {
  for (const ClassName& c : kClassNames) {
    if (c.id == id) return c.name;
  }
  return "?";
}

std::vector<uint32_t> RegisteredIds() {
  uint32_t count = library().getIds(nullptr, 0);
  std::vector<uint32_t> ids(count);
  library().getIds(ids.data(), count);
  return ids;
}

int RunComponents(int argc, char** argv) {
  Arguments args;
  int status = ParseArguments(argc, argv, "components",
                              "usage: gavio components\n"
                              "Lists the component ids the library registers and their classes.\n",
                              {}, &args);
  if (status != -1) return status;
  if (!args.operands.empty()) return UsageError("components", "no operands expected");
  std::vector<uint32_t> ids = RegisteredIds();
  printf("%zu registered component classes\n", ids.size());
  for (uint32_t id : ids) printf("%6u  %s\n", id, ClassNameOf(id));
  return 0;
}

}  // namespace gavio_tool
