// The public face of the gavio libraries: the version, and every function
// libgavio.so exports, with its prototype and as a pointer type for
// dlsym. A client includes this header (and the interface headers of the
// components it uses) and loads the library with dlopen: libgavio.so and
// the factory library libgavfact.so both export CreateComponent, so
// linking both at build time would bind every call to whichever the loader
// finds first.
#pragma once

#include <stdint.h>

#include "gavio/component.h"

// One version for the libraries, the tool and the installed package
// (CMake reads it from here).
#define GAVIO_VERSION_MAJOR 0
#define GAVIO_VERSION_MINOR 1
#define GAVIO_VERSION_PATCH 0
#define GAVIO_VERSION_STRING "0.1.0"
#define GAVIO_VERSION_NUMBER \
  (GAVIO_VERSION_MAJOR * 10000 + GAVIO_VERSION_MINOR * 100 + GAVIO_VERSION_PATCH)

// The record description the protocol helpers take (opaque to clients).
struct tagLMXMeta;

extern "C" {

// A new instance of the registered class componentId, or null; creatorId is
// kept for the leak report. The caller ends it with Destroy.
gavio::IComponent* CreateComponent(uint32_t componentId, uint32_t creatorId);
// Copies up to max registered ids into ids (in registration order) and
// returns how many classes are registered; ids may be null to count.
uint32_t GetComponentIDs(uint32_t* ids, uint32_t max);
// Sets the registry path components read their settings under.
int32_t SetDLLRegistry(const char* path);
// Hands over the factory library's module handle (a dlopen handle), used
// from then on instead of the one "Gavio.ini" names; returns it.
void* SetFactoryHandle(void* module);
// The safe-to-destroy switch: while 0, Destroy is ignored. Returns the
// previous value.
int32_t GavioSetDllSafe(int32_t value);
// Non-zero when no instance is live, so the library may be unloaded.
int32_t GavioDllCanUnloadNow(void);
// Destroys every live instance that has its auto-free flag set.
void GavioDllFreeMap(void);

// The verification protocol's helpers: the meta of a "KoraPkg" package,
// a package record to network bytes and back, and the 16-bit one's
// complement checksum. Exported only by builds that include the
// verification service; look them up with dlsym and expect null otherwise.
int32_t initPrototol(const tagLMXMeta** meta);
int32_t pack(const tagLMXMeta* meta, void* package, char* buffer, uint32_t* length,
             int32_t version);
int32_t unpack(const tagLMXMeta* meta, const char* buffer, uint32_t length, void* package);
uint16_t CheckSum(const void* data, int32_t length);

typedef gavio::IComponent* (*GavioCreateComponentFn)(uint32_t componentId, uint32_t creatorId);
typedef uint32_t (*GavioGetComponentIDsFn)(uint32_t* ids, uint32_t max);
typedef int32_t (*GavioSetDLLRegistryFn)(const char* path);
typedef void* (*GavioSetFactoryHandleFn)(void* module);
typedef int32_t (*GavioSetDllSafeFn)(int32_t value);
typedef int32_t (*GavioDllCanUnloadNowFn)(void);
typedef void (*GavioDllFreeMapFn)(void);
typedef int32_t (*GavioInitPrototolFn)(const tagLMXMeta** meta);
typedef int32_t (*GavioPackFn)(const tagLMXMeta* meta, void* package, char* buffer,
                               uint32_t* length, int32_t version);
typedef int32_t (*GavioUnpackFn)(const tagLMXMeta* meta, const char* buffer, uint32_t length,
                                 void* package);
typedef uint16_t (*GavioCheckSumFn)(const void* data, int32_t length);

}  // extern "C"
