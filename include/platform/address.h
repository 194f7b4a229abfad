// Opening an address (a web page, a document) with the user's shell, as
// ShellExecute "open" does. The handler is replaceable: a host with a desktop
// installs one that starts a browser. The default writes the address to the
// debugger output and opens nothing, as a non-interactive session would.
#pragma once

#include "platform/types.h"

#define SW_SHOWNORMAL 1

typedef BOOL (*GavioOpenAddressHandler)(const char* address, int32_t show);

// Hands address to the handler; FALSE for a null or empty address.
GAVIO_PLATFORM_API BOOL GavioOpenAddress(const char* address, int32_t show);
// Installs handler (null: the default) and returns the one it replaces.
GAVIO_PLATFORM_API GavioOpenAddressHandler GavioSetOpenAddressHandler(GavioOpenAddressHandler h);
