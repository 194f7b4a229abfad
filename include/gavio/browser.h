// The embedded browser host (component 383) and what its control guard
// screens: the class-object functions, the export a control module offers
// them and the file version a module carries.
//
// The class-object functions live in libgavcom.so (the stand-in for the
// platform's object libraries); a control module exports
// DllGetClassObject; the script engines libjscript.so and libvbscript.so
// create controls through CoGetClassObject.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gavio/component.h"

namespace gavio {

// A class or interface id; its text form is 36 characters without braces,
// upper case: "0002DF01-0000-0000-C000-000000000046".
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

using HResult = int32_t;
inline constexpr HResult kSOk = 0;
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005);
inline constexpr HResult kEPointer = static_cast<HResult>(0x80004003);
inline constexpr HResult kENoInterface = static_cast<HResult>(0x80004002);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000E);
inline constexpr HResult kClassNotRegistered = static_cast<HResult>(0x80040154);
inline constexpr HResult kModuleNotFound = static_cast<HResult>(0x800401F8);
inline constexpr HResult kErrorInModule = static_cast<HResult>(0x800401F9);

inline constexpr size_t kClassIdTextLength = 36;

// The class object a control module hands out.
class IClassFactory {
 public:
  virtual HResult QueryInterface(const Guid* iid, void** object) = 0;  // 0
  virtual uint32_t AddRef() = 0;                                        // 1
  virtual uint32_t Release() = 0;                                       // 2
  // 3: a new instance of the control; *object is null on failure.
  virtual HResult CreateInstance(void* outer, const Guid* iid, void** object) = 0;
  virtual HResult LockServer(int32_t lock) = 0;                         // 4
};

// The interface id of IClassFactory.
inline constexpr Guid kIidClassFactory = {0x00000001, 0x0000, 0x0000,
                                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// What `gavio guard check` and CheckControl report about one class id.
struct ControlCheck {
  int32_t moduleFound;     // 1 when the registry names a module for the class
  char modulePath[260];    // that module, as an ordinary host path
  uint32_t version;        // its version number, 0 when it carries none
  int32_t verifierFound;   // 1 when the security verifier could be created
  int32_t verifierAnswer;  // VerityControlID's answer (0 = trusted) when found
  int32_t allowed;         // 1 when a page script may create the control
};

// Component 383: the embedded browser host. While any instance lives, the
// script control guard is installed: class-object requests of the script
// engines and every request from a URL are let through only for controls
// the security verifier trusts. Instances may be created and destroyed on
// any thread; the guard's replacements run on whatever thread calls them.
class IWebBrowser : public IComponent {
 public:
  // 5: what the guard would decide for the class id (text with or without
  // braces) and why. Returns 1 when out was filled, 0 for a malformed id or
  // a null out (last error 87).
  virtual int32_t CheckControl(const char* classId, ControlCheck* out) = 0;
  // 6: nonzero while the guard is installed in this process.
  virtual int32_t IsGuardInstalled() = 0;
  virtual void ComponentFinalize() = 0;  // 7
};

}  // namespace gavio

// The C entry points, by the names the platform gives them. Text is narrow;
// server information, bind contexts and reserved words are accepted and
// not used.
extern "C" {
typedef gavio::HResult (*GavioCoGetClassObjectFn)(const gavio::Guid* classId, uint32_t context,
                                                  void* serverInfo, const gavio::Guid* iid,
                                                  void** object);
typedef gavio::HResult (*GavioCoGetClassObjectFromUrlFn)(
    const gavio::Guid* classId, const char* codeUrl, uint32_t fileVersionMs,
    uint32_t fileVersionLs, const char* mimeType, void* bindContext, uint32_t context,
    void* reserved, const gavio::Guid* iid, void** object);
// What a control module exports.
typedef gavio::HResult (*GavioDllGetClassObjectFn)(const gavio::Guid* classId,
                                                   const gavio::Guid* iid, void** object);
// What a script engine stand-in exports: creates the control named by the
// class id text the way a page script does, through CoGetClassObject, and
// hands back the new instance (a page script would keep it).
typedef gavio::HResult (*GavioScriptCreateControlFn)(const char* classIdText, void** object);
}

// Gives the module being built a file version, major.minor.build.revision,
// each 0-65535: an allocated ELF note (name "Gavio", type 1) whose 8 bytes
// are the two 32-bit words (major << 16 | minor) and (build << 16 |
// revision) in the module's byte order. Use once, at namespace scope, in
// one source of the module.
#define GAVIO_MODULE_FILE_VERSION(major, minor, build, revision)                  \
  __asm__(".if ((" #major ") | (" #minor ") | (" #build ") | (" #revision ")) > 0xFFFF\n" \
          ".error \"a file version field is larger than 65535\"\n"                \
          ".endif\n"                                                             \
          ".pushsection .note.gavio.version,\"a\",@note\n"                        \
          ".balign 4\n"                                                           \
          ".long 6\n"                                                             \
          ".long 8\n"                                                             \
          ".long 1\n"                                                             \
          ".asciz \"Gavio\"\n"                                                    \
          ".balign 4\n"                                                           \
          ".long ((" #major ") << 16) | (" #minor ")\n"                           \
          ".long ((" #build ") << 16) | (" #revision ")\n"                        \
          ".popsection\n")
