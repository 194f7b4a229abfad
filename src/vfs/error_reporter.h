// The optional error reporter of the virtual file system. Every part holds a
// pointer to one (null = silent); a report reads
// "<source>(<line>) : error <text>\n", where source names the part
// ("Components\Vfs\VFileSys") and line is the reporting source line.
//
// Thread safety: Report and SetWriter may be called from any thread.
#pragma once

#include <mutex>

namespace gavio {

class ErrorReporter {
 public:
  // Receives each formatted line (with its line end).
  using Writer = void (*)(void* context, const char* line);

  // Without a writer the report is dropped.
  void Report(const char* source, int line, const char* text);
  // A null writer makes the reporter silent again.
  void SetWriter(Writer writer, void* context);
  // Writes the reports to standard error (on) or drops them (off).
  void WriteToStderr(bool on);

 private:
  std::mutex lock_;
  Writer writer_ = nullptr;
  void* context_ = nullptr;
};

// Reports through reporter when there is one.
void ReportVfsError(ErrorReporter* reporter, const char* source, int line, const char* text);

}  // namespace gavio

// Each source file defines kReportSource, the name its reports carry.
#define VFS_REPORT(reporter, text) ::gavio::ReportVfsError((reporter), kReportSource, __LINE__, (text))
