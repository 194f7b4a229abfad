// The update-info file's text (see update_info_text.h).
#include "update/update_info_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace gavio {
namespace {

void Line(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Line(std::string* out, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  *out += line;
  *out += "\r\n";
}

// The record's strings, bounded by their fields even when unterminated.
struct Field {
  char text[261];
  explicit Field(const char* field, size_t size) {
    size_t length = strnlen(field, size);
    memcpy(text, field, length);
    text[length] = '\0';
  }
};
#define FIELD(p, name) Field(p.name, sizeof p.name).text

void PackageBlock(std::string* out, int index, const UpdatePackage& p) {
  Line(out, "[INSTALL_PACKAGE%d_BEGIN]", index);
  Line(out, "GUID:pkg%d", index);
  Line(out, "NAME:%s", FIELD(p, name));
  Line(out, "VERSION:%u", p.version);
  Line(out, "PATCHNUM:0");
  Line(out, "QBNUM:0");
  Line(out, "DESCRIPTION:NONE");
  Line(out, "TYPE:0");
  Line(out, "FILESIZE:%u", p.fileSize);
  Line(out, "FILENAME:%s", FIELD(p, fileName));
  Line(out, "FILEHASH:%s", FIELD(p, fileHash));
  Line(out, "SELECTFLAG:17");
  Line(out, "UPDATESTRATEGY:%d", p.updateStrategy);
  Line(out, "SELFUPDATE:1");
  Line(out, "MECHANISM:%d", p.mechanism);
  Field urlPath(p.urlPath, sizeof p.urlPath);
  NormaliseUrlPath(urlPath.text);
  if (urlPath.text[0] == '\0') {
    Line(out, "URL:http://%s:%u/%s", FIELD(p, host), p.port, FIELD(p, fileName));
  } else {
    Line(out, "URL:http://%s:%u/%s/%s", FIELD(p, host), p.port, urlPath.text,
         FIELD(p, fileName));
  }
  Line(out, "EURA:eura");
  Line(out, "EURAHASH:");
  Line(out, "PEERUDPURL:%s", FIELD(p, peerUdpUrl));
  Line(out, "PEERUDPPORT:%u", p.peerUdpPort);
  Line(out, "PEERTCPURL:%s", FIELD(p, peerTcpUrl));
  Line(out, "PEERTCPPORT:%u", p.peerTcpPort);
  Line(out, "STUNIP:%s", FIELD(p, stunAddress));
  Line(out, "STUNPORT:%u", p.stunPort);
  Line(out, "TORRENURL:%s", FIELD(p, torrentUrl));
  Line(out, "HTTPSPEEDLIMIT:%u", p.httpSpeedLimit);
  Line(out, "HTTPCONNECTIONLIMIT:%u", p.httpConnectionLimit);
  Line(out, "TARGETSHARERATE:%u", p.targetShareRate);
  Line(out, "[INSTALL_PACKAGE%d_END]", index);
}

}  // namespace

void NormaliseUrlPath(char* path) {
  size_t length = strlen(path);
  size_t kept = 0;
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == '/' && i + 1 < length && path[i + 1] == '/') {
      path[kept++] = path[++i];  // drop this slash; the pass moves past the next
      continue;
    }
    path[kept++] = path[i];
  }
  path[kept] = '\0';
  if (path[0] == '/') memmove(path, path + 1, kept--);
  if (kept > 0 && path[kept - 1] == '/') path[kept - 1] = '\0';
}

std::string UpdateInfoText(const UpdateInfoRecord* record) {
  std::string out;
  for (uint32_t i = 0; i < record->packageCount; ++i) {
    PackageBlock(&out, static_cast<int>(i), record->packages[i]);
  }
  return out;
}

}  // namespace gavio
