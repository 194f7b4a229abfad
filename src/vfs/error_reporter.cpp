#include "vfs/error_reporter.h"

#include <stdio.h>

namespace gavio {
namespace {

void WriteLineToStderr(void*, const char* line) { fputs(line, stderr); }

}  // namespace

void ErrorReporter::Report(const char* source, int line, const char* text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (writer_ == nullptr) return;
  char formatted[1024];
  snprintf(formatted, sizeof formatted, "%s(%d) : error %s\n", source, line, text);
  writer_(context_, formatted);
}

void ErrorReporter::SetWriter(Writer writer, void* context) {
  std::lock_guard<std::mutex> guard(lock_);
  writer_ = writer;
  context_ = context;
}

void ErrorReporter::WriteToStderr(bool on) { SetWriter(on ? WriteLineToStderr : nullptr, nullptr); }

void ReportVfsError(ErrorReporter* reporter, const char* source, int line, const char* text) {
  if (reporter != nullptr) reporter->Report(source, line, text);
}

}  // namespace gavio
