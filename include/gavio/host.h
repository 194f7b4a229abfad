// Components supplied by the host's factory library (libgavfact.so):
// the factory object and ComponentFactory (361), the registry (991) and
// the host lookup (66).
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "gavio/component.h"
#include "gavio/sink.h"

namespace gavio {

// What the factory object hands out with the log settings: a recursive
// mutex shared by every writer of the log file, and its descriptor (-1 =
// none). Owned by the factory library and valid while it stays loaded.
struct LogSettings {
  pthread_mutex_t* lock;
  intptr_t fd;
};

// The factory object (what CreateComponent(361, 0) of the factory library
// returns; a process-wide object whose Destroy does nothing) and the
// ComponentFactory instances it creates for id 361 share this interface.
class IComponentFactory : public IComponent {
 public:
  // 5: a new instance of the component, created by the library the factory's
  // INI names for that id (default: libgavio.so beside the factory
  // library), or null. The caller owns it.
  virtual IComponent* CreateComponentById(uint32_t componentId, const char* registryPath) = 0;
  // 6: fills both masks for the module from the INI; when result is
  // non-null, *result points at the shared LogSettings (or is null when no
  // log file is configured). Returns 1.
  virtual int32_t GetLogSettings(const char* registryPath, uint32_t moduleId,
                                 uint32_t* debugMask, uint32_t* fileMask,
                                 LogSettings** result) = 0;
  // 7: takes note of a process-wide instance a factory function made itself.
  virtual int32_t NoteProcessInstance(IComponent* instance) = 0;
  // 8: the number of unload notices received so far (for tests and tools).
  virtual uint32_t GetUnloadNoticeCount() = 0;
  // 9: the number of process-wide instances noted so far.
  virtual uint32_t GetProcessInstanceCount() = 0;
  // 10: the unload notice: the library with this module handle has no live
  // instance left and may be unloaded.
  virtual void OnLibraryUnloadable(void* module) = 0;
};

// Registry component 991: a small key/value store in the user's
// application-data folder ("gavio/registry.ini"). Keys are named; the root
// and access words are accepted and not interpreted.
class IRegistry : public IComponent {
 public:
  // 5: stores a text value (creates the key). Returns 1 on success.
  virtual int32_t SetValue(const char* keyName, const char* valueName, const char* text) = 0;
  // 6: removes a value. Returns 1 when it existed.
  virtual int32_t DeleteValue(const char* keyName, const char* valueName) = 0;
  // 7: forgets a key word from OpenKey.
  virtual int32_t CloseKey(uint32_t key) = 0;
  // 8: opens a key that exists; non-zero on success with *key filled.
  virtual int32_t OpenKey(uint32_t root, const char* keyName, uint32_t options,
                          uint32_t access, uint32_t* key) = 0;
  // 9, 10: reserved.
  virtual int32_t Reserved9() = 0;
  virtual int32_t Reserved10() = 0;
  // 11: copies the text value into buffer (*size bytes, set to the length
  // written including the terminator). Non-zero on success; 0 when the
  // value is missing or does not fit.
  virtual int32_t QueryValue(uint32_t key, const char* valueName, uint32_t* type, char* buffer,
                             uint32_t* size) = 0;
};

class IHostLookupSink : public ISink {
 public:
  // 1: addresses are IPv4 in network byte order, valid during the call.
  virtual void OnHostLookupSuccess(const uint32_t* addresses, uint32_t count) = 0;
  // 2: error is an ERROR_* / resolver code.
  virtual void OnHostLookupFail(uint32_t error) = 0;
};

// Host lookup 66; takes listeners (IEventSource is its second base).
class IHostLookup : public IComponent {
 public:
  // 5: starts resolving; exactly one event follows on the creating thread,
  // which must pump messages. A lookup already running is superseded: its
  // result is dropped. Returns 1 when started.
  virtual int32_t Resolve(const char* hostName) = 0;
};

}  // namespace gavio
