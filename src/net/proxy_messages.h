// The texts and bytes the proxy tunnels send, and the judges of what the
// proxies answer. Every judge reads only the bytes it is given.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace gavio {

// ---------------------------------------------------------------------------
// HTTP CONNECT

// Longest request texts, without the terminator.
inline constexpr size_t kHttpRequestLimit = 259;
inline constexpr size_t kHttpNtlmFirstLimit = 1023;
inline constexpr size_t kHttpNtlmSecondLimit = 2047;

// Request A (no authentication). False when the text would exceed its
// limit: a cut request has no closing blank line and would leave the proxy
// waiting, so it is never sent.
bool BuildHttpConnectNone(const char* host, int port, std::string* out);
// The Basic credentials text "user:password": each part cut to 260
// characters, the whole to 259.
std::string BasicCredentials(const char* user, const char* password);
// Request B, with the credentials already in Base64.
bool BuildHttpConnectBasic(const char* host, int port, const std::string& credentials,
                           std::string* out);
// An NTLM request carrying a Base64 token; limit is kHttpNtlmFirstLimit or
// kHttpNtlmSecondLimit.
bool BuildHttpConnectNtlm(const char* host, int port, const std::string& token, size_t limit,
                          std::string* out);

// The status code of a reply: the decimal number between the first space
// and the next space, CR or LF; -1 when there is none.
int HttpStatusCode(const char* reply, size_t length);

// The token after "Proxy-Authenticate: NTLM " up to the first space, CR or
// LF (or the end of the bytes); false when the header is absent.
bool FindNtlmChallenge(const char* reply, size_t length, std::string* token);

// The number of bytes Base64 text decodes to: 6 bits for each character
// of the alphabet, whole bytes only (padding and other characters count
// for nothing, as the decoder skips them).
size_t Base64DecodedLength(const std::string& text);

// ---------------------------------------------------------------------------
// SOCKS5

inline constexpr size_t kSocks5ConnectRequestSize = 10;
inline constexpr size_t kSocks5ConnectReplySize = 10;

// 05 01 M: M = 02 (user name and password) when there is a user name, else 00.
std::string Socks5CProxyMethodRequest(bool withUserName);
// 05 02 00 02.
std::string Socks5SuperProxyMethodRequest();
// 01 U user P password; false unless both lengths are 1 to 255.
bool Socks5UserPassword(const char* user, const char* password, std::string* out);
// 05 01 00 01, address (network order), port (network order).
std::string Socks5ConnectRequest(uint32_t networkAddress, uint16_t port);

// What is wrong with a connect reply in the CProxy variant's eyes.
enum class Socks5ReplyFault {
  kNone,
  kTooShort,  // fewer than 10 bytes
  kVersion,   // VER != 05
  kReply,     // REP != 00
  kReserved,  // RSV != 00
  kAddressType,  // ATYP != 01
};
Socks5ReplyFault CheckSocks5Reply(const uint8_t* reply, size_t length);

// The SuperProxy variant's judge: exactly 10 bytes, 05 00 00 and an address
// type of 01, 03 or 04.
bool IsSuperProxyConnectReply(const uint8_t* reply, size_t length);

// Parses a dotted IPv4 address into network order; false for anything else.
bool ParseDottedAddress(const char* text, uint32_t* networkAddress);
// Dotted text of a network-order address.
std::string DottedAddress(uint32_t networkAddress);

}  // namespace gavio
