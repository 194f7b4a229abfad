#include "cli.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/files.h"

namespace gavio_tool {

bool g_verbose = false;
bool g_quiet = false;

namespace {

constexpr uint32_t kProgressEveryMs = 250;

// The first write error on standard output, 0 while none.
int g_outputError = 0;

}  // namespace

int UsageError(const char* command, const std::string& message) {
  fprintf(stderr, "gavio %s: %s\nTry 'gavio %s --help'.\n", command, message.c_str(), command);
  return 2;
}

int ParseArguments(int argc, char** argv, const char* command, const char* usage,
                   const std::vector<OptionSpec>& options, Arguments* out) {
  std::vector<OptionSpec> all(options);
  all.push_back({"help", 'h', false});
  all.push_back({"verbose", 'v', false});
  all.push_back({"quiet", 'q', false});
  // A leading ':' makes getopt quiet and tell a missing value (':') from
  // an unknown option ('?'); the messages below are ours.
  std::string shortOptions = ":";
  std::vector<option> longOptions;
  for (const OptionSpec& spec : all) {
    if (spec.shortName < 256) {
      shortOptions += static_cast<char>(spec.shortName);
      if (spec.hasValue) shortOptions += ':';
    }
    longOptions.push_back({spec.longName, spec.hasValue ? required_argument : no_argument, nullptr,
                           spec.shortName});
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  optind = 0;  // a full restart: each command parses its own arguments
  for (;;) {
    int c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (c == -1) break;
    if (c == '?' || c == ':') {
      const char* name = argv[optind - 1];
      std::string what = optopt != 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : name;
      return UsageError(command, (c == ':' ? "option needs a value: " : "unknown option: ") + what);
    }
    if (c == 'h') {
      fputs(usage, stdout);
      return 0;
    }
    if (c == 'v') g_verbose = true;
    if (c == 'q') g_quiet = true;
    out->options[c] = optarg != nullptr ? optarg : "";
  }
  for (int i = optind; i < argc; ++i) out->operands.push_back(argv[i]);
  return -1;
}

bool ParseNumber(const char* command, const char* what, const std::string& text, uint64_t min,
                 uint64_t max, uint64_t* value) {
  bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  errno = 0;
  unsigned long long parsed = digits ? strtoull(text.c_str(), nullptr, 10) : 0;
  if (!digits || errno == ERANGE || parsed < min || parsed > max) {
    UsageError(command, std::string("invalid ") + what + " '" + text + "' (a number from " +
                            std::to_string(min) + " to " + std::to_string(max) + ")");
    return false;
  }
  *value = parsed;
  return true;
}

int FileError(const std::string& path, int error) {
  return FileProblem(path, strerror(error));
}

int FileProblem(const std::string& path, const std::string& text) {
  fprintf(stderr, "gavio: %s: %s\n", PrintableName(path).c_str(), text.c_str());
  return 1;
}

bool WriteOut(const void* data, size_t size) {
  if (g_outputError != 0) return false;
  if (size == 0) return true;
  if (fwrite(data, 1, size, stdout) != size) {
    g_outputError = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

bool WriteOut(const std::string& text) { return WriteOut(text.data(), text.size()); }

int FinishOutput(int status) {
  errno = 0;
  if (fflush(stdout) != 0 && g_outputError == 0) g_outputError = errno != 0 ? errno : EIO;
  if (ferror(stdout) && g_outputError == 0) g_outputError = EIO;
  if (fclose(stdout) != 0 && g_outputError == 0) g_outputError = errno != 0 ? errno : EIO;
  if (g_outputError == 0) return status;
  fprintf(stderr, "gavio: standard output: %s\n", strerror(g_outputError));
  return 1;
}

bool ReadHostFile(const std::string& path, size_t limit, std::string* out) {
  bool standardInput = path == "-";
  // Non-blocking, so that a FIFO without a writer cannot hang the open; a
  // regular file or standard input is read as usual afterwards.
  int fd = standardInput ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0;
  if (ok && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    ok = false;
  }
  // A FIFO or a device named on purpose (md5 <(command)) is read like
  // standard input, bounded by the limit.
  if (ok && !standardInput && !S_ISREG(info.st_mode)) {
    int flags = fcntl(fd, F_GETFL);
    ok = flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
  }
  char chunk[65536];
  while (ok) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    if (out->size() + static_cast<size_t>(got) > limit) {
      errno = EFBIG;
      ok = false;
      break;
    }
    out->append(chunk, static_cast<size_t>(got));
  }
  int saved = errno;
  if (!standardInput) close(fd);
  errno = saved;
  return ok;
}

bool WriteFileAt(int folder, const std::string& name, const void* data, size_t size,
                 unsigned newMode, bool sync) {
  struct stat target {};
  bool exists = fstatat(folder, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(target.st_mode)) {
    errno = EISDIR;
    return false;
  }
  std::string part;
  int fd = -1;
  for (uint32_t attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".gavio-part-%d-%08x", static_cast<int>(getpid()),
             (GetTickCount() + attempt) * 2654435761u);
    part = suffix;
    fd = openat(folder, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                newMode & 0777);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = size == 0 || GavioFileWrite(fd, data, size) != 0;
  if (ok && exists && S_ISREG(target.st_mode)) ok = fchmod(fd, target.st_mode & 07777) == 0;
  if (ok && sync) ok = GavioFileSync(fd) != 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    saved = errno;
    ok = false;
  }
  if (ok && renameat(folder, part.c_str(), folder, name.c_str()) != 0) {
    saved = errno;
    ok = false;
  }
  if (!ok) unlinkat(folder, part.c_str(), 0);
  errno = saved;
  return ok;
}

std::string PrintableName(const std::string& name, bool* escaped) {
  std::string text;
  bool any = false;
  for (unsigned char c : name) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    } else {
      text += static_cast<char>(c);
      continue;
    }
    any = true;
  }
  if (escaped != nullptr) *escaped = any;
  return text;
}

Progress::Progress(const char* verb, uint64_t totalFiles)
    : verb_(verb),
      total_(totalFiles),
      enabled_(!g_quiet && isatty(2) != 0),
      start_(GetTickCount()),
      last_(start_) {}

void Progress::Step(uint64_t bytes) {
  ++files_;
  bytes_ += bytes;
  if (!enabled_ || GetTickCount() - last_ < kProgressEveryMs) return;
  last_ = GetTickCount();
  double seconds = (last_ - start_) / 1000.0;
  double rate = seconds > 0 ? static_cast<double>(bytes_) / 1e6 / seconds : 0.0;
  fprintf(stderr, "\r%s %llu/%llu files, %.1f MB, %.1f MB/s\033[K", verb_,
          static_cast<unsigned long long>(files_), static_cast<unsigned long long>(total_),
          static_cast<double>(bytes_) / 1e6, rate);
  shown_ = true;
}

void Progress::Done() {
  if (shown_) fprintf(stderr, "\r\033[K");
  shown_ = false;
}

}  // namespace gavio_tool
