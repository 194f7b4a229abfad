// The script control guard: while installed, the class-object requests of
// the two script engines and every class-object request from a URL reach
// the screened request, which lets a control through only when the
// approval callback trusts its module's class id, version and name.
//
// Thread safety: install and remove may run on any thread (one at a time
// is decided under the import table's lock); the replacements run on
// whatever thread calls the redirected functions.
#pragma once

#include <stdint.h>

#include "gavio/browser.h"
#include "gavio/verify.h"

namespace gavio {

// Approves (true) or refuses a control: its module path, class id text and
// version number.
using ApprovalCallback = bool (*)(const char* modulePath, const char* classIdText,
                                  uint32_t version);

// major * 10000000 + minor * 100000 + (build / 100) * 10000 + (build % 100)
// * 100 + revision, in 32-bit arithmetic, from the two file version words.
uint32_t VersionNumber(uint32_t versionMs, uint32_t versionLs);
// The version number of the module file, 0 when it carries no version.
uint32_t ModuleVersionNumber(const char* path);

// Finds the class's module through the host's registry (component 991).
bool FindRegisteredModule(const char* classIdText, char* path, size_t size);

// The approval the browser installs: asks VerityControlID of the security
// verifier (1185); approves when it cannot be created.
bool ApproveByVerifier(const char* modulePath, const char* classIdText, uint32_t version);
// The decision with a given verifier: its answer for (class id, version,
// the module's file name with its extension) must be 0. *answer gets it.
bool ApproveWith(ISecurityVerifier* verifier, const char* modulePath, const char* classIdText,
                 uint32_t version, int32_t* answer);

// The screened request, steps 1 to 3, before the platform's function is
// called: kSOk to go on, else the failure to return (kEFail for a class
// without a registered module, a null approval or a refusal).
HResult ScreenClassRequest(const Guid* classId, ApprovalCallback approval);

// Sets the approval callback and installs the hooks; removes them and
// clears the callback. Both log what they do.
void InstallControlGuard(ApprovalCallback approval);
void RemoveControlGuard();
bool ControlGuardInstalled();

}  // namespace gavio
