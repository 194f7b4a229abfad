// What the proxy tunnels remember for the whole process: the HTTP tunnel's
// method and port choice, the SOCKS5 tunnel's opening variant and success
// flag. Read and reset here for tests and tools that need a fresh start.
#pragma once

#include <stdint.h>

namespace gavio {

// -1 when no HTTP method has succeeded yet, else 1 none, 2 Basic, 3 NTLM.
int32_t HttpProxyRememberedMethod();
bool HttpProxyRemembersPort443();
void ForgetHttpProxyChoice();

// 1 CProxy, 2 SuperProxy.
int32_t Socks5RememberedVariant();
bool Socks5HasSucceeded();
void ForgetSocks5Choice();

}  // namespace gavio
