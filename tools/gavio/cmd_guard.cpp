// gavio guard check CLSID: what the script control guard would decide for
// a control a page script asks for, and why: the module the registry names,
// its version number and the security verifier's answer.
#include <string>

#include "cli.h"
#include "commands.h"
#include "gavio/browser.h"
#include "gavio/ids.h"

namespace gavio_tool {
namespace {

const char kGuardUsage[] =
    "usage: gavio guard check CLSID\n"
    "Tells whether a page script may create the control with class id CLSID\n"
    "(36 characters, braces optional) and why. Exits 0 when it is allowed,\n"
    "1 when it is refused.\n";

int Check(const std::string& classId) {
  Owned<gavio::IWebBrowser> browser(gavio::kBrowserId);
  if (!browser) return 1;
  gavio::ControlCheck check;
  if (browser->CheckControl(classId.c_str(), &check) == 0) {
    return UsageError("guard", "not a class id: " + PrintableName(classId));
  }
  // Built by appending: an escaped module path can be four times as long
  // as the path, more than any fixed line would hold.
  std::string text;
  if (!check.moduleFound) {
    text += "module:   none registered\nverifier: not asked\n";
  } else {
    text += "module:   " + PrintableName(check.modulePath) + "\n";
    text += "version:  " + std::to_string(check.version) + "\n";
    if (!check.verifierFound) {
      text += "verifier: not available, so every registered control is allowed\n";
    } else {
      text += "verifier: answered " + std::to_string(check.verifierAnswer) +
              (check.verifierAnswer == 0 ? " (trusted)\n" : " (not trusted)\n");
    }
  }
  text += check.allowed ? "allowed\n" : "refused\n";
  if (!WriteOut(text)) return 1;
  return check.allowed ? 0 : 1;
}

}  // namespace

int RunGuard(int argc, char** argv) {
  Arguments args;
  int status = ParseArguments(argc, argv, "guard", kGuardUsage, {}, &args);
  if (status != -1) return status;
  if (args.operands.size() != 2 || args.operands[0] != "check") {
    return UsageError("guard", "give: check CLSID");
  }
  return Check(args.operands[1]);
}

}  // namespace gavio_tool
