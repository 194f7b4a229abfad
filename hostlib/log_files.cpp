// The shared log files handed out with the log settings.
//
// Every log sink of the process that names the same file writes through one
// descriptor under one recursive mutex, so lines from different components
// never interleave inside a line and the line counter they share stays
// consistent. Both live until the process ends: sinks keep the pointers for
// as long as they exist, and some may outlive any owner we could give them.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "hostlib.h"
#include "platform/errors.h"
#include "platform/sync.h"

namespace gavio::hostlib {
namespace {

struct LogFile {
  dev_t device;
  ino_t inode;
  pthread_mutex_t mutex;
  LogSettings settings;
};

struct LogFileTable {
  CRITICAL_SECTION lock;
  std::map<std::string, LogFile*> byName;
  std::vector<LogFile*> files;

  LogFileTable() { InitializeCriticalSection(&lock); }
};

// Never destroyed: sinks of other libraries may still log while this
// library's static objects are torn down at exit.
LogFileTable& Table() {
  static LogFileTable* table = new LogFileTable;
  return *table;
}

LogFile* FindByIdentity(const std::vector<LogFile*>& files, const struct stat& st) {
  for (LogFile* file : files) {
    if (file->device == st.st_dev && file->inode == st.st_ino) return file;
  }
  return nullptr;
}

LogFile* NewLogFile(int fd, const struct stat& st) {
  LogFile* file = new LogFile;
  file->device = st.st_dev;
  file->inode = st.st_ino;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&file->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  file->settings.lock = &file->mutex;
  file->settings.fd = fd;
  return file;
}

// Opens the log file for appending. O_NONBLOCK keeps a FIFO at that name
// (no reader) from holding every start of the client; anything but a
// regular file is refused.
LogFile* OpenLogFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                0644);
  if (fd < 0) {
    DWORD error = SetLastErrorFromErrno();
    DebugPrint("[GavFact] Open log file %s fail, error id = %u !\n", path.c_str(), error);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    SetLastErrorFromErrno();
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    DebugPrint("[GavFact] Open log file %s fail, error id = %u !\n", path.c_str(),
               static_cast<unsigned>(ERROR_ACCESS_DENIED));
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  LogFileTable& table = Table();
  if (LogFile* same = FindByIdentity(table.files, st)) {
    close(fd);
    return same;
  }
  LogFile* file = NewLogFile(fd, st);
  table.files.push_back(file);
  return file;
}

}  // namespace

LogSettings* SharedLogFile(const std::string& path) {
  LogFileTable& table = Table();
  EnterCriticalSection(&table.lock);
  LogFile* file = nullptr;
  auto known = table.byName.find(path);
  if (known != table.byName.end()) {
    file = known->second;
  } else {
    file = OpenLogFile(path);
    if (file != nullptr) table.byName[path] = file;
  }
  LeaveCriticalSection(&table.lock);
  return file != nullptr ? &file->settings : nullptr;
}

}  // namespace gavio::hostlib
