// The replaceable address opener (see platform/address.h).
#include "platform/address.h"

#include <atomic>
#include <string>

#include "platform/errors.h"

namespace {

BOOL DefaultOpenAddress(const char* address, int32_t) {
  std::string line = "OpenAddress [";
  line += address;
  line += "]\n";
  OutputDebugStringA(line.c_str());
  return FALSE;
}

std::atomic<GavioOpenAddressHandler> g_open_address{DefaultOpenAddress};

}  // namespace

BOOL GavioOpenAddress(const char* address, int32_t show) {
  if (address == nullptr || address[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return g_open_address.load()(address, show);
}

GavioOpenAddressHandler GavioSetOpenAddressHandler(GavioOpenAddressHandler handler) {
  return g_open_address.exchange(handler != nullptr ? handler : DefaultOpenAddress);
}
