#include "net/proxy_messages.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

namespace gavio {
namespace {

constexpr char kRequestTail[] =
    "Accept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\n"
    "Content-length: 0\r\n\r\n";
constexpr size_t kCredentialPartLimit = 260;
constexpr char kNtlmChallengeHeader[] = "Proxy-Authenticate: NTLM ";

bool FitsLimit(const std::string& text, size_t limit) { return text.size() <= limit; }

std::string Format(const char* format, const char* host, int port) {
  char line[400];
  snprintf(line, sizeof line, format, host, port, host, port);
  return line;
}

bool IsLineEnd(char c) { return c == ' ' || c == '\r' || c == '\n'; }

}  // namespace

bool BuildHttpConnectNone(const char* host, int port, std::string* out) {
  *out = Format("CONNECT %s:%d HTTP/1.1\r\n", host, port) + kRequestTail;
  return FitsLimit(*out, kHttpRequestLimit);
}

std::string BasicCredentials(const char* user, const char* password) {
  std::string text = std::string(user, strnlen(user, kCredentialPartLimit)) + ":" +
                     std::string(password, strnlen(password, kCredentialPartLimit));
  if (text.size() > kHttpRequestLimit) text.resize(kHttpRequestLimit);
  return text;
}

bool BuildHttpConnectBasic(const char* host, int port, const std::string& credentials,
                           std::string* out) {
  *out = Format("CONNECT %s:%d HTTP/1.1\r\n", host, port) + "Proxy-Authorization: Basic " +
         credentials + "\r\n" + kRequestTail;
  return FitsLimit(*out, kHttpRequestLimit);
}

bool BuildHttpConnectNtlm(const char* host, int port, const std::string& token, size_t limit,
                          std::string* out) {
  *out = Format("CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n", host, port) +
         "Proxy-Authorization: NTLM " + token + "\r\n" + kRequestTail;
  return FitsLimit(*out, limit);
}

int HttpStatusCode(const char* reply, size_t length) {
  const char* end = reply + length;
  const char* space = static_cast<const char*>(memchr(reply, ' ', length));
  if (space == nullptr) return -1;
  int code = 0;
  int digits = 0;
  for (const char* p = space + 1; p < end && !IsLineEnd(*p); ++p) {
    if (*p < '0' || *p > '9' || ++digits > 3) return -1;
    code = code * 10 + (*p - '0');
  }
  return digits > 0 ? code : -1;
}

bool FindNtlmChallenge(const char* reply, size_t length, std::string* token) {
  const size_t headerLength = sizeof kNtlmChallengeHeader - 1;
  for (size_t at = 0; at + headerLength <= length; ++at) {
    if (memcmp(reply + at, kNtlmChallengeHeader, headerLength) != 0) continue;
    size_t start = at + headerLength;
    size_t stop = start;
    while (stop < length && !IsLineEnd(reply[stop]) && reply[stop] != '\0') ++stop;
    token->assign(reply + start, stop - start);
    return true;
  }
  return false;
}

size_t Base64DecodedLength(const std::string& text) {
  size_t characters = 0;
  for (char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '/') {
      ++characters;
    }
  }
  return characters * 6 / 8;
}

std::string Socks5CProxyMethodRequest(bool withUserName) {
  return std::string{'\x05', '\x01', withUserName ? '\x02' : '\x00'};
}

std::string Socks5SuperProxyMethodRequest() { return std::string{'\x05', '\x02', '\x00', '\x02'}; }

bool Socks5UserPassword(const char* user, const char* password, std::string* out) {
  size_t userLength = strlen(user);
  size_t passwordLength = strlen(password);
  if (userLength < 1 || userLength > 255 || passwordLength < 1 || passwordLength > 255) {
    return false;
  }
  *out = std::string(1, '\x01') + static_cast<char>(userLength) + user +
         static_cast<char>(passwordLength) + password;
  return true;
}

std::string Socks5ConnectRequest(uint32_t networkAddress, uint16_t port) {
  std::string out{'\x05', '\x01', '\x00', '\x01'};
  out.append(reinterpret_cast<const char*>(&networkAddress), 4);
  uint16_t networkPort = htons(port);
  out.append(reinterpret_cast<const char*>(&networkPort), 2);
  return out;
}

Socks5ReplyFault CheckSocks5Reply(const uint8_t* reply, size_t length) {
  if (length < kSocks5ConnectReplySize) return Socks5ReplyFault::kTooShort;
  if (reply[0] != 0x05) return Socks5ReplyFault::kVersion;
  if (reply[1] != 0x00) return Socks5ReplyFault::kReply;
  if (reply[2] != 0x00) return Socks5ReplyFault::kReserved;
  if (reply[3] != 0x01) return Socks5ReplyFault::kAddressType;
  return Socks5ReplyFault::kNone;
}

bool IsSuperProxyConnectReply(const uint8_t* reply, size_t length) {
  return length == kSocks5ConnectReplySize && reply[0] == 0x05 && reply[1] == 0x00 &&
         reply[2] == 0x00 && (reply[3] == 0x01 || reply[3] == 0x03 || reply[3] == 0x04);
}

bool ParseDottedAddress(const char* text, uint32_t* networkAddress) {
  in_addr address;
  if (inet_pton(AF_INET, text, &address) != 1) return false;
  *networkAddress = address.s_addr;
  return true;
}

std::string DottedAddress(uint32_t networkAddress) {
  in_addr address;
  address.s_addr = networkAddress;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace gavio
