// What every gavio command shares on the command line: option parsing with
// getopt_long, checked numbers, error lines that name the file and the
// system's reason, checked writes to standard output, names made safe for a
// terminal, and the progress line.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

namespace gavio_tool {

// -v (component trace lines on standard error) and -q (no progress line),
// accepted before the command and by every subcommand.
extern bool g_verbose;
extern bool g_quiet;

struct OptionSpec {
  const char* longName;
  int shortName;  // a character, or a value above 255 for long-only options
  bool hasValue;
};

struct Arguments {
  std::map<int, std::string> options;  // by short name; flags hold ""
  std::vector<std::string> operands;
  bool Has(int option) const { return options.count(option) != 0; }
  std::string Value(int option) const {
    auto it = options.find(option);
    return it == options.end() ? std::string() : it->second;
  }
};

// Parses argv[1..] of one command; command names it in messages ("vfs ls").
// -h/--help, -v/--verbose and -q/--quiet come with every command. Returns -1
// when the command goes on, else the status to exit with: 0 after --help
// (the usage on standard output), 2 after a usage error (on standard error).
int ParseArguments(int argc, char** argv, const char* command, const char* usage,
                   const std::vector<OptionSpec>& options, Arguments* out);

// A usage error: "gavio COMMAND: message" and a hint at --help. Returns 2.
int UsageError(const char* command, const std::string& message);

// Parses a whole decimal number in [min, max]; prints a usage error and
// returns false otherwise.
bool ParseNumber(const char* command, const char* what, const std::string& text, uint64_t min,
                 uint64_t max, uint64_t* value);

// "gavio: PATH: reason" for the error number. Returns 1.
int FileError(const std::string& path, int error);
// "gavio: PATH: text". Returns 1.
int FileProblem(const std::string& path, const std::string& text);

// Writes to standard output; false once a write failed (the reason is kept
// for FinishOutput).
bool WriteOut(const void* data, size_t size);
bool WriteOut(const std::string& text);
// Flushes and closes standard output; a failure anywhere turns status into
// 1 and is reported with its reason.
int FinishOutput(int status);

// Reads a whole host file (the path is taken as it is), or standard input
// for "-", at most limit bytes. The open never blocks (a FIFO without a
// writer reads as empty). On failure returns false with errno set (EISDIR
// for a folder, EFBIG past the limit).
bool ReadHostFile(const std::string& path, size_t limit, std::string* out);

// Writes a host file whole into a folder open as folder: into a new file
// beside it (created with O_EXCL|O_NOFOLLOW, so a link planted under any
// name is never followed), renamed over the target; sync syncs it first. An
// existing regular target keeps its mode; a new one gets newMode less the
// umask. A link at the final name is replaced, not followed. On failure the
// target is left as it was, nothing stays behind, and errno tells why.
bool WriteFileAt(int folder, const std::string& name, const void* data, size_t size,
                 unsigned newMode, bool sync);

// The name as it can be shown on one terminal line: backslash, newline,
// carriage return and other control characters are escaped ("\\", "\n",
// "\r", "\xHH"); *escaped tells whether anything was.
std::string PrintableName(const std::string& name, bool* escaped = nullptr);

// A progress line on standard error, redrawn a few times a second, only
// when standard error is a terminal and -q was not given.
class Progress {
 public:
  Progress(const char* verb, uint64_t totalFiles);
  ~Progress() { Done(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Step(uint64_t bytes);
  void Done();
  uint64_t files() const { return files_; }
  uint64_t bytes() const { return bytes_; }

 private:
  const char* verb_;
  uint64_t total_;
  bool shown_ = false;
  bool enabled_;
  uint32_t start_;
  uint32_t last_;
  uint64_t files_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace gavio_tool
